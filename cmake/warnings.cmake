# Warnings are errors on our own code (not on GoogleTest's).
function(cddaplay_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
