# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu. An x86-64
# kernel with 32-bit support runs the binaries natively, through the cross
# toolchain's loader and libraries; a kernel without it (no IA32 emulation, as
# on some virtual machines) runs them under qemu-i386 (Debian's qemu-user).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LIGHTING_CROSS_TRIPLE i686-linux-gnu)
set(LIGHTING_CROSS_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(lighting_i686_loader /usr/i686-linux-gnu/lib/ld-linux.so.2)
execute_process(COMMAND ${lighting_i686_loader} --help RESULT_VARIABLE lighting_i686_native
                OUTPUT_QUIET ERROR_QUIET)
if(lighting_i686_native EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${lighting_i686_loader} --library-path /usr/i686-linux-gnu/lib)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/i686-linux-gnu)
endif()
