// Forced into every C++ file of the wasm32 build: the libc++ 13 of Debian's
// emscripten has no std::bit_cast, which the library and its tests use.
// Clang's builtin is the same operation (constexpr, same size and trivially
// copyable types only).
#pragma once

#include <bit>

#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 14000 && !defined(__cpp_lib_bit_cast)
namespace std {
template <class To, class From>
constexpr To bit_cast(const From& from) noexcept {
  return __builtin_bit_cast(To, from);
}
}  // namespace std
#endif
