function(tarno_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wimplicit-fallthrough)
  if(TARNO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
