# WebAssembly with Debian's emscripten; programs and tests run under node.
# Emscripten.cmake calls the processor x86 unless told otherwise, which would
# add the x86 floating-point flags.
set(EMSCRIPTEN_SYSTEM_PROCESSOR wasm32)
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)

# C++ exceptions on: the batches report bad arguments by throwing, and the C
# interface turns those into statuses (emscripten aborts on a throw otherwise).
# std::bit_cast for emscripten's libc++ 13 (see the header).
set(CMAKE_CXX_FLAGS_INIT
    "-fexceptions -include ${CMAKE_CURRENT_LIST_DIR}/../compat/libcxx13_bit_cast.hpp")
# EXIT_RUNTIME: main's return value becomes node's exit status (by default
# the runtime stays up and node exits 0, so a failing test would pass).
# NODERAWFS: the tests read the golden vectors from the real file system.
# A growing heap: the batch tests hold millions of points at once.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fexceptions -sEXIT_RUNTIME=1 -sNODERAWFS=1 -sALLOW_MEMORY_GROWTH=1")
# The generated loader fetches the .wasm with fetch() whenever node has one,
# and node's fetch refuses a file path.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/node --no-experimental-fetch)
