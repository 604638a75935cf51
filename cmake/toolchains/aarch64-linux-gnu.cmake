# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu; the
# programs and tests run under qemu-user (Debian's qemu-user).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LIGHTING_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
