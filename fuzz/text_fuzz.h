// Shared by the text fuzz targets: a stream over bytes that lie in a malloc'd
// block of exactly their size, set up as TxtInitStream would but without a
// handle, and the check that a scan left its cursors inside the text.
#ifndef OKR_FUZZ_TEXT_FUZZ_H
#define OKR_FUZZ_TEXT_FUZZ_H

#include <okr/txt.h>
#include <stdlib.h>

inline TextStream StreamAt(char* text, size_t size, size_t at) {
  TextStream s{};
  s.pos = s.line = s.token = text + at;
  s.end = text + size;
  s.size = static_cast<uint32_t>(size);
  s.flags = txtFlagLocked;
  return s;
}

inline void CheckInside(const TextStream& s, const char* text) {
  if (s.pos < text || s.pos > s.end || s.token < text || s.token > s.end) abort();
}

#endif
