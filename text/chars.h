// Character classes of the text stream, shared by the scanners of the text
// module. Bytes are classified by their signed 8-bit value.
#ifndef OKR_TEXT_CHARS_H
#define OKR_TEXT_CHARS_H

#include <stdint.h>

namespace okr_text {

enum : uint8_t {
  kLineEnd = 1,   // CR, LF
  kBlank = 2,     // signed value <= 32 (line ends excepted) and ','
  kIdentByte = 4  // continues a plain token (NUL included)
};

constexpr uint8_t ClassOf(int byte) {
  const int8_t s = static_cast<int8_t>(byte);
  const char c = static_cast<char>(byte);
  uint8_t classes = 0;
  if (c == '\r' || c == '\n') {
    classes |= kLineEnd;
  } else if (s <= 32 || c == ',') {
    classes |= kBlank;
  }
  const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  if (alnum || c == '"' || c == '\'' || c == '<' || c == '>' || c == '#' || c == '$' || c == '%' ||
      c == '.' || c == '@' || c == '_' || c == '\0') {
    classes |= kIdentByte;
  }
  return classes;
}

struct ClassTable {
  uint8_t of[256];
};

constexpr ClassTable MakeClassTable() {
  ClassTable table{};
  for (int b = 0; b < 256; ++b)
    table.of[b] = ClassOf(b);
  return table;
}

inline constexpr ClassTable kClasses = MakeClassTable();

inline bool IsLineEnd(char c) {
  return kClasses.of[static_cast<uint8_t>(c)] & kLineEnd;
}
inline bool IsBlank(char c) {
  return kClasses.of[static_cast<uint8_t>(c)] & kBlank;
}
inline bool IsIdentByte(char c) {
  return kClasses.of[static_cast<uint8_t>(c)] & kIdentByte;
}

// A line starting with one of these is passed over by TxtNextLine.
inline bool IsCommentLineStart(char c) {
  return c == ';' || c == '/';
}

}  // namespace okr_text

#endif
