#include "printable_name.hpp"

#include <cstdint>
#include <cstdio>

namespace render {

namespace {

// The length of the valid UTF-8 sequence at the start of `text` and the code
// point it encodes; 0 when the first byte does not start one (a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
std::size_t utf8_sequence(std::string_view text, char32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Controls, and the invisible characters that move or reorder the text
// around them.
bool harmless(char32_t code) {
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
  if (code == 0x2028 || code == 0x2029) return false;
  if (code >= 0x202A && code <= 0x202E) return false;
  return code < 0x2066 || code > 0x2069;
}

void append_escape(std::string& out, const char* format, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof escape, format, value);
  out += escape;
}

}  // namespace

std::string printable_name(std::string_view name) {
  const bool cut = name.size() > kPrintableLimit;
  const std::size_t shown_limit = cut ? kPrintableKept : name.size();
  std::string quoted = "\"";
  bool plain = !cut;
  std::size_t at = 0;
  while (at < shown_limit) {
    char32_t code = 0;
    const std::size_t length = utf8_sequence(name.substr(at), code);
    if (length == 0) {
      append_escape(quoted, "\\x%02x", static_cast<unsigned char>(name[at]));
      plain = false;
      ++at;
      continue;
    }
    if (at + length > shown_limit) break;  // a character is never cut in two
    switch (code) {
      case '\n':
        quoted += "\\n";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      default:
        if (harmless(code)) {
          quoted.append(name.substr(at, length));
          at += length;
          continue;
        }
        append_escape(quoted, code < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(code));
    }
    // Quotes and backslashes alone print harmlessly: only their escaped
    // form inside quotes needs them doubled.
    if (code != '"' && code != '\\') plain = false;
    at += length;
  }
  if (plain) return std::string(name);
  quoted += '"';
  if (cut) quoted += "... (" + std::to_string(name.size()) + " bytes)";
  return quoted;
}

}  // namespace render
