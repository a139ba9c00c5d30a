# Which back-end files the build picks: one file per platform, never #ifdefs inside logic.
if(WIN32)
  set(CDDAPLAY_OS win32)
else()
  set(CDDAPLAY_OS posix)
endif()
if(WIN32)
  # Self-contained executables and DLLs: no libgcc/libstdc++/winpthread DLLs to ship or find.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
