// Arbitrary bytes through every scanning operation and the evaluator. Each
// text lies in an allocation of exactly its size, so the sanitizers report
// any read at or beyond the stream's end. (fuzz/ holds the same checks as
// libFuzzer targets.)
#include <okr/expr.h>
#include <okr/sym.h>

#include <memory>
#include <random>

#include "txt_support.h"

namespace {

using TxtFuzz = TextTest;

TEST_F(TxtFuzz, NothingReadsBeyondTheEnd) {
  static const char kMeaningful[] = "ab1x9$%'\"<>;/,.(){}=!+-*&|^\\~ \t\r\nEeF";
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  SymAddInt(&table, "ab", 3);
  SymAddFloat(&table, "x9", 1.5f);
  exprSymbolTable = table;
  std::mt19937 rng(20240601);
  for (int round = 0; round < 4000; ++round) {
    // Mostly bytes that mean something to the scanners, some arbitrary ones.
    const size_t size = rng() % 40;
    auto text = std::make_unique<char[]>(size);
    for (size_t i = 0; i < size; ++i) {
      const uint32_t r = rng();
      text[i] = (r & 3) ? kMeaningful[(r >> 2) % (sizeof kMeaningful - 1)] : char(r >> 8);
    }
    TextStream s{};
    s.end = text.get() + size;
    s.size = static_cast<uint32_t>(size);
    const int32_t bufferSize = 2 + static_cast<int32_t>(rng() % 46);
    char buffer[48];
    for (size_t at = 0; at <= size; ++at) {
      s.pos = s.line = s.token = text.get() + at;
      for (int steps = 0; steps < 100; ++steps) {
        if (!TxtNextToken(&s, buffer, bufferSize) && !TxtNextLine(&s)) break;
      }
      uint32_t count;
      s.pos = text.get() + at;
      TxtFindKeyword(&s, "ab", &count);
      s.pos = text.get() + at;
      TxtSkipToken(&s);
      TxtReadString(&s, buffer, bufferSize);
      s.pos = text.get() + at;
      ExprValue value;
      const int32_t result = ExprEvaluate(&s, &value);
      if (result == 0 || result == 1) {
        EXPECT_TRUE(s.pos >= text.get() && s.pos <= s.end);
      }
      uint32_t line, column;
      EXPECT_EQ(TxtGetLocation(&s, &line, &column), 0u);
    }
  }
  SymDisposeTable(&table);
}

}  // namespace
