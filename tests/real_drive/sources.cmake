# What the tests of the real-drive back ends (sg, spti) share, for their CMakeLists.txt to compile
# with their own made-up machine (fake_system.cpp) and its hooks (under_test.cpp).
set(REAL_DRIVE_TEST_SEAM ${CMAKE_CURRENT_LIST_DIR}/seam.cpp ${CMAKE_CURRENT_LIST_DIR}/seam.h)
# The adapter numbering both back ends use.
set(REAL_DRIVE_UNIT_TESTS ${CMAKE_CURRENT_LIST_DIR}/numbering_test.cpp)
# The library tests over it, with the library's ASPI manager.
set(REAL_DRIVE_LIBRARY_TESTS ${CMAKE_CURRENT_LIST_DIR}/library.cpp ${CMAKE_CURRENT_LIST_DIR}/library.h
    ${CMAKE_CURRENT_LIST_DIR}/library_test.cpp ${PROJECT_SOURCE_DIR}/passthru/manager.cpp)
