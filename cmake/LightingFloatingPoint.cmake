# Compiler flags that keep the library's rounding points where its source puts
# them. They are added after CMAKE_CXX_FLAGS, so they win over a caller's
# -ffast-math, -Ofast, -fno-math-errno, -ffp-contract=fast or -flto.
function(lighting_fix_floating_point target)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(WARNING "lighting: unknown compiler ${CMAKE_CXX_COMPILER_ID}; "
                    "build the library without fast-math and without FP contraction")
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -fno-fast-math     # undo -ffast-math / -Ofast from the caller's flags
    -ffp-contract=off  # no fused multiply-add: it skips the rounding of a product
    -fmath-errno       # without it compilers may turn pow(x, 0.5) into sqrt(x)
    -fno-lto)          # LTO would drop the flags above when merging with callers
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$"
     OR (CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 4))
    # x87 arithmetic rounds to extended precision first; SSE2 gives true doubles.
    target_compile_options(${target} PRIVATE -msse2 -mfpmath=sse)
  endif()
endfunction()
