# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu; the
# programs and tests run under qemu-user (Debian's qemu-user).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LIGHTING_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# No -cpu here: it would win over QEMU_CPU, which the aarch64 test presets set
# to choose the emulated processor (max: SVE2 with 512-bit vectors; with
# sve-default-vector-length=16 or 32, 128 or 256 bits).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
