# Warnings for the project's own targets. They are PRIVATE: a consumer of the
# library never inherits them.
function(lighting_set_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE
      -Wall
      -Wextra
      -Wpedantic
      -Wshadow             # a local hiding a field or parameter is a likely slip
      -Wconversion         # float/double narrowing must be spelled out: it is a rounding point
      -Wsign-conversion
      -Wdouble-promotion   # an implicit float to double widening hides where precision changes
      -Wold-style-cast
      -Wnon-virtual-dtor)
    if(LIGHTING_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
