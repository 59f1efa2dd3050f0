function(tarno_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wimplicit-fallthrough
                                           # Designated initialisers that leave defaulted members out are
                                           # how records are built here.
                                           -Wno-missing-field-initializers)
  if(TARNO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
