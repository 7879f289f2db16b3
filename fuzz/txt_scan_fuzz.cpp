// Arbitrary bytes through every scanning operation of the text stream. The
// text lies in a malloc'd block of exactly its size, so AddressSanitizer
// reports any read at or beyond the stream's end (a handle's block would not:
// the heap's next block follows it in the same region).
#include <okr/mem.h>
#include <okr/txt.h>
#include <stdlib.h>
#include <string.h>

#include "text_fuzz.h"

namespace {

// Walks the whole text token by token and line by line.
void Walk(char* text, size_t size, int32_t bufferSize) {
  TextStream s = StreamAt(text, size, 0);
  char buffer[300];
  for (size_t steps = 0; steps <= 2 * size + 2; ++steps) {
    const int32_t got = TxtNextToken(&s, buffer, bufferSize);
    CheckInside(s, text);
    if (got && strlen(buffer) >= static_cast<size_t>(bufferSize)) abort();
    if (!got && !TxtNextLine(&s)) return;
  }
  abort();  // every call moves on or ends the walk
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = MemStart(1u << 20) == 0;
  if (!started || size < 1) return 0;
  const int32_t bufferSize = 2 + data[0] % 254;
  const size_t length = size - 1;
  char* text = static_cast<char*>(malloc(length));
  memcpy(text, data + 1, length);

  Walk(text, length, bufferSize);
  TextStream s = StreamAt(text, length, 0);
  uint32_t count = 0;
  TxtFindKeyword(&s, "ab", &count);
  CheckInside(s, text);
  char buffer[300];
  for (size_t at = 0; at <= length; ++at) {
    TxtFindLineEnd(text + at, text + length);
    s = StreamAt(text, length, at);
    TxtSkipToken(&s);
    CheckInside(s, text);
    s = StreamAt(text, length, at);
    if (TxtReadString(&s, buffer, bufferSize) == 0) TxtStripQuotes(buffer);
    uint32_t line = 0, column = 0;
    if (TxtGetLocation(&s, &line, &column) != 0) abort();
  }
  free(text);
  if (MemCheckHeap(memCurrentHeap) != 0) abort();
  return 0;
}
