// Helpers shared by the text module's tests: streams over literal text in a
// fresh handle, and bit patterns of floats.
#ifndef OKR_TXT_SUPPORT_H
#define OKR_TXT_SUPPORT_H

#include <okr/expr.h>
#include <okr/txt.h>
#include <string.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

inline uint32_t FloatBits(float f) {
  uint32_t bits;
  memcpy(&bits, &f, sizeof bits);
  return bits;
}

class TextTest : public HeapTest {
 protected:
  // A stream over a new handle that holds exactly `text`, no terminator.
  TextStream* Open(std::string_view text) {
    Handle h = MemNewHandle(static_cast<uint32_t>(text.size()));
    EXPECT_NE(h, nullptr);
    if (!text.empty()) memcpy(h->data, text.data(), text.size());
    TextStream* stream = nullptr;
    EXPECT_EQ(TxtNewStream(h, &stream), 0u);
    streams_.push_back(stream);
    return stream;
  }

  void TearDown() override {
    for (TextStream* stream : streams_)
      TxtDisposeStream(&stream);
    HeapTest::TearDown();
  }

  // Offset of the stream's cursor from the start of its text.
  static long Offset(const TextStream* s) { return s->pos - (s->end - s->size); }

  std::vector<TextStream*> streams_;
};

#endif
