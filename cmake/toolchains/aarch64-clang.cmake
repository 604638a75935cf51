# Cross build for 64-bit Arm Linux with Clang 14 (--target=aarch64-linux-gnu)
# on Debian's aarch64 cross sysroot and binutils (g++-aarch64-linux-gnu); the
# programs and tests run under qemu-user, as with the GCC cross build.
set(LIGHTING_CROSS_CLANG ON)
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)
