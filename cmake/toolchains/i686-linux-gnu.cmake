# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu. An x86-64
# kernel runs the binaries natively; the loader and libraries come from the
# cross toolchain's sysroot.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LIGHTING_CROSS_TRIPLE i686-linux-gnu)
set(LIGHTING_CROSS_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/i686-linux-gnu/lib/ld-linux.so.2
    --library-path /usr/i686-linux-gnu/lib)
