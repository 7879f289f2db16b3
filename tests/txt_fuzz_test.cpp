// Arbitrary bytes through every scanning operation and the evaluator. Each
// text lies in an allocation of exactly its size, so the sanitizers report
// any read at or beyond the stream's end.
#include <okr/expr.h>
#include <okr/sym.h>

#include <memory>
#include <random>

#include "txt_support.h"

namespace {

using TxtFuzz = TextTest;

// Mostly bytes that mean something to the scanners, some arbitrary ones.
std::unique_ptr<char[]> RandomText(std::mt19937& rng, size_t size) {
  static const char kMeaningful[] = "ab1x9$%'\"<>;/,.(){}=!+-*&|^\\~ \t\r\nEeF";
  auto text = std::make_unique<char[]>(size);
  for (size_t i = 0; i < size; ++i) {
    const uint32_t r = rng();
    text[i] =
        (r & 3) ? kMeaningful[(r >> 2) % (sizeof kMeaningful - 1)] : static_cast<char>(r >> 8);
  }
  return text;
}

TextStream StreamOver(char* text, size_t size) {
  TextStream s{};
  s.pos = s.line = s.token = text;
  s.end = text + size;
  s.size = static_cast<uint32_t>(size);
  return s;
}

void ExpectInside(const TextStream& s, const char* text) {
  EXPECT_TRUE(s.pos >= text && s.pos <= s.end);
  EXPECT_TRUE(s.token >= text && s.token <= s.end);
}

TEST_F(TxtFuzz, NothingReadsBeyondTheEnd) {
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  SymAddInt(&table, "ab", 3);
  SymAddFloat(&table, "x9", 1.5f);
  exprSymbolTable = table;
  std::mt19937 rng(20240601);
  for (int round = 0; round < 4000; ++round) {
    const size_t size = rng() % 40;
    std::unique_ptr<char[]> owned = RandomText(rng, size);
    char* text = owned.get();

    TextStream s = StreamOver(text, size);
    char buffer[48];
    const int32_t bufferSize = 2 + static_cast<int32_t>(rng() % 46);
    for (int steps = 0; steps < 200; ++steps) {
      if (!TxtNextToken(&s, buffer, bufferSize) && !TxtNextLine(&s)) break;
      ExpectInside(s, text);
    }
    s = StreamOver(text, size);
    uint32_t count;
    TxtFindKeyword(&s, "ab", &count);
    ExpectInside(s, text);
    s = StreamOver(text, size);
    TxtReadString(&s, buffer, sizeof buffer);

    for (size_t at = 0; at <= size; ++at) {
      TxtFindLineEnd(text + at, text + size);
      s = StreamOver(text, size);
      s.pos = text + at;
      TxtSkipToken(&s);
      ExpectInside(s, text);
      s.pos = text + at;
      ExprValue value;
      const int32_t result = ExprEvaluate(&s, &value);
      if (result == 0 || result == 1) ExpectInside(s, text);
      uint32_t line, column;
      EXPECT_EQ(TxtGetLocation(&s, &line, &column), 0u);
    }
  }
  SymDisposeTable(&table);
}

}  // namespace
