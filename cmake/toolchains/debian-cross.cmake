# Shared part of the cross toolchains: Debian's cross compiler for
# LIGHTING_CROSS_TRIPLE, its sysroot, and libraries and headers from there only.
set(CMAKE_SYSTEM_NAME Linux)
if(LIGHTING_CROSS_CLANG)
  # Clang targets the triple itself and finds Debian's cross GCC installation
  # (its binutils, C runtime and libstdc++) on its own.
  set(CMAKE_CXX_COMPILER clang++-14)
  set(CMAKE_C_COMPILER clang-14)
  set(CMAKE_CXX_COMPILER_TARGET ${LIGHTING_CROSS_TRIPLE})
  set(CMAKE_C_COMPILER_TARGET ${LIGHTING_CROSS_TRIPLE})
else()
  set(CMAKE_CXX_COMPILER ${LIGHTING_CROSS_TRIPLE}-g++)
  # GoogleTest's own project enables C: without this it would find the host cc.
  set(CMAKE_C_COMPILER ${LIGHTING_CROSS_TRIPLE}-gcc)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${LIGHTING_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Highway comes from Debian's multiarch package (libhwy-dev:ARCH), which lives
# outside the cross sysroot; the build tree's run path finds its library.
if(NOT LIGHTING_CROSS_MULTIARCH)
  set(LIGHTING_CROSS_MULTIARCH ${LIGHTING_CROSS_TRIPLE})
endif()
set(HWY_DIR /usr/lib/${LIGHTING_CROSS_MULTIARCH}/cmake/hwy CACHE PATH "Highway for the target")
