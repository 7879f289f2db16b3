// The cost of reading text: a token longer than the buffer comes in pieces,
// and each piece looks only at its own bytes, not at the rest of the token.
#include <okr/txt.h>

#include "fault/step_count.h"
#include "txt_support.h"

namespace {

using TxtSteps = TextTest;

TEST_F(TxtSteps, LongTokensAreReadInOnePass) {
  const std::string letters(20000, 'a');
  const struct {
    const char* shape;
    std::string text;
    int32_t bufferSize;
  } cases[] = {
      {"letters", letters + "\n", 32},
      {"letters to the end of the text", letters, 8},
      {"openers without a closer", std::string(20000, '<') + "\n", 255},
      {"a quote closed far behind", "\"" + letters + "\" x\n", 255},
  };
  for (const auto& c : cases) {
    TextStream* s = Open(c.text);
    char piece[256];
    size_t read = 0;
    StepsClear();
    while (TxtNextToken(s, piece, c.bufferSize))
      read += strlen(piece);
    EXPECT_GE(read + 1, letters.size()) << c.shape;
    // Rescanning the rest of the token for every piece passes its bytes
    // thousands of times.
    EXPECT_LE(StepsTaken(stepTokenByte), 2 * c.text.size()) << c.shape;
  }
}

}  // namespace
