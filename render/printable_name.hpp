// Names and values shown in messages, made safe to print: a newline, a
// terminal escape or a stray byte in a file name cannot forge, garble or
// flood a message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace render {

// Values up to this many bytes are shown whole; longer ones are cut to
// kPrintableKept bytes (at a character's boundary) and their length noted.
inline constexpr std::size_t kPrintableLimit = 1024;
inline constexpr std::size_t kPrintableKept = 512;

// The name as it is when it is short and every character prints harmlessly
// (printable ASCII and valid UTF-8 text). Otherwise in double quotes with
// escapes: \n \t \r \" \\, \xHH for C0 controls, DEL and each byte that is
// not valid UTF-8, \uHHHH for C1 controls and the characters that reorder or
// break lines (U+2028, U+2029, U+202A-U+202E, U+2066-U+2069); a long value
// is followed by "... (N bytes)".
std::string printable_name(std::string_view name);

}  // namespace render
