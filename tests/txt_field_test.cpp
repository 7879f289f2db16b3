// Numeric fields: reading integers and values after keywords, truncation,
// where a failed field stands, and the sample settings file of the README.
#include <okr/expr.h>
#include <okr/sym.h>

#include <limits.h>

#include <fstream>
#include <sstream>

#include "txt_support.h"

namespace {

using TxtField = TextTest;

TEST_F(TxtField, ReadIntTruncatesAndMovesOn) {
  const struct {
    const char* text;
    const char* keyword;  // searched for first, unless null
    ErrCode code;
    int32_t values[2];  // the integers of two reads in a row
  } cases[] = {
      {"7.9", nullptr, 0, {7, 12345}},
      {"-7.9", nullptr, 0, {-7, 12345}},
      {"$1F, 3", nullptr, 0, {31, 3}},
      {"width 640\nheight 480\n", "height", 0, {480, 12345}},
      {"nothere", nullptr, errNoSuchVariable, {12345, 12345}},
  };
  for (const auto& c : cases) {
    TextStream* s = Open(c.text);
    uint32_t passed;
    if (c.keyword != nullptr) {
      ASSERT_EQ(TxtFindKeyword(s, c.keyword, &passed), 1);
    }
    int32_t n[2] = {12345, 12345};
    EXPECT_EQ(TxtReadInt(s, &n[0]), c.code) << c.text;
    if (c.code == 0 && c.values[1] != 12345) {
      EXPECT_EQ(TxtReadInt(s, &n[1]), 0u);
    }
    EXPECT_EQ(n[0], c.values[0]) << c.text;
    EXPECT_EQ(n[1], c.values[1]) << c.text;
  }
  const struct {
    float f;
    int32_t i;
  } floats[] = {
      // clang-format off
      {2.9f, 2}, {-2.9f, -2}, {3000000000.0f, -1294967296}, {4294967296.0f, 0}, {1e19f, 0},
      {-1e19f, 0}, {__builtin_inff(), 0}, {__builtin_nanf(""), 0}, {-2147483648.0f, INT_MIN},
      // clang-format on
  };
  for (const auto& c : floats) {
    ExprValue v{ExprTypeFloat, {0}};
    v.value.f = c.f;
    int32_t n = 0;
    EXPECT_EQ(TxtValueToInt(&v, &n), 0u);
    EXPECT_EQ(n, c.i) << c.f;
    ExprToInt(&v);
    EXPECT_EQ(v.value.i, c.i) << c.f;
  }
}

// Lines end in CR LF, CR or LF; columns count bytes.
TEST_F(TxtField, FailedFieldReportsItsLineAndColumn) {
  TextStream* s = Open("a 1\r\nb 2\r\n\rc  \t nothere 5");
  s->pos = s->end - 11;
  int32_t n = 0;
  EXPECT_EQ(TxtReadInt(s, &n), static_cast<ErrCode>(errNoSuchVariable));
  uint32_t line = 0, column = 0;
  EXPECT_EQ(TxtGetLocation(s, &line, &column), 0u);
  EXPECT_EQ(line, 4u);
  EXPECT_EQ(column, 6u);
  TxtReleaseStream(s);
  EXPECT_EQ(TxtGetLocation(s, &line, &column), static_cast<ErrCode>(errBadData));
}

// A field that the evaluator rejects is located at the token it failed at,
// while `pos` and `token` stay where the tokenizer left them.
TEST_F(TxtField, FailedEvaluationReportsTheOffendingToken) {
  const struct {
    const char* text;
    const char* keyword;
    ErrCode code;
    uint32_t line, column;
  } cases[] = {
      {"width    3 + * 4\n", "width", errSyntax, 1, 14},
      {"zero    12 \\ 0\n", "zero", errDivideByZero, 1, 12},
      {"a 1\r\nratio 5 / (2 - 2)", "ratio", errDivideByZero, 2, 9},
      {"sum 1 +\n", "sum", errSyntax, 1, 8},  // nothing where an operand must be
      {"pair (1)2\n", "pair", errSyntax, 1, 9},
      {"call 2(3)\n", "call", errSyntax, 1, 7},
      {"order ~-5\n", "order", errSyntax, 1, 8},
      {"empty ,\n", "empty", errSyntax, 1, 8},
      {"deep ((((1 + 2) * 3) \\ 0) + 4)\n", "deep", errDivideByZero, 1, 22},
      // Unbalanced: the ")" that closes nothing, else the innermost open "(".
      {"open (1 + (2 * 3\n", "open", errParenthesis, 1, 11},
      {"outer ((1 + 2) * 3\n", "outer", errParenthesis, 1, 7},
      {"shut 1 + 2) * 3\n", "shut", errParenthesis, 1, 11},
      {"a 1\nlate (1)) + (2 + (3\n", "late", errParenthesis, 2, 9},
  };
  for (const auto& c : cases) {
    TextStream* s = Open(c.text);
    uint32_t passed;
    ASSERT_EQ(TxtFindKeyword(s, c.keyword, &passed), 1);
    ExprValue v;
    EXPECT_EQ(TxtReadValue(s, &v), c.code) << c.text;
    const char* pos = s->pos;
    const char* token = s->token;
    // Evaluations of another stream or of a caller's text between the two
    // leave the place alone.
    ExprValue other;
    EXPECT_EQ(TxtReadValue(Open("7\n"), &other), 0u);
    EXPECT_EQ(ExprEvaluateText("1 +", 3, &other, nullptr), static_cast<ErrCode>(errSyntax));
    uint32_t line = 0, column = 0;
    EXPECT_EQ(TxtGetLocation(s, &line, &column), 0u);
    EXPECT_EQ(line, c.line) << c.text;
    EXPECT_EQ(column, c.column) << c.text;
    EXPECT_EQ(s->pos, pos);
    EXPECT_EQ(s->token, token);
  }
  // Once the stream moves on, or a later field evaluates, the stream's token
  // counts again.
  TextStream* s = Open("a 3 + * 4\nb 5\n");
  ExprValue v;
  TxtSkipToken(s);
  EXPECT_EQ(TxtReadValue(s, &v), static_cast<ErrCode>(errSyntax));
  const uint32_t expected[][2] = {{2, 1}, {2, 4}};
  uint32_t line = 0, column = 0;
  ASSERT_EQ(TxtNextLine(s), 1);
  char word[8];
  ASSERT_EQ(TxtNextToken(s, word, sizeof word), 1);
  EXPECT_EQ(TxtGetLocation(s, &line, &column), 0u);
  EXPECT_EQ(line, expected[0][0]);
  EXPECT_EQ(column, expected[0][1]);
  EXPECT_EQ(TxtReadValue(s, &v), 0u);
  EXPECT_EQ(TxtGetLocation(s, &line, &column), 0u);
  EXPECT_EQ(line, expected[1][0]);
  EXPECT_EQ(column, expected[1][1]);
}

TEST_F(TxtField, SampleSettingsFile) {
  const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/'));
  std::ifstream file(dir + "/../examples/settings.txt", std::ios::binary);
  ASSERT_TRUE(file.good());
  std::stringstream text;
  text << file.rdbuf();
  SymbolTable* vars = nullptr;
  ASSERT_EQ(SymNewTable(&vars), 0u);
  SymAddInt(&vars, "screenWidth", 1280);
  SymAddInt(&vars, "screenHeight", 720);
  SymAddFloat(&vars, "scale", 2.0f);
  exprSymbolTable = vars;
  TextStream* s = Open(text.str());
  const struct {
    const char* name;
    int32_t value;
  } ints[] = {{"width", 640},  {"height", 680}, {"tile", 32},  {"columns", 3}, {"border", 5},
              {"tag", 0x4F4B}, {"speed", 3},    {"layers", 3}, {nullptr, 5},   {nullptr, 8}};
  uint32_t passed;
  for (const auto& field : ints) {
    if (field.name != nullptr) {
      ASSERT_EQ(TxtFindKeyword(s, field.name, &passed), 1);
    }
    int32_t value = 0;
    EXPECT_EQ(TxtReadInt(s, &value), 0u) << field.name;
    EXPECT_EQ(value, field.value) << field.name;
  }
  TxtInitStream(s, s->handle);
  ASSERT_EQ(TxtFindKeyword(s, "speed", &passed), 1);
  ExprValue speed;
  EXPECT_EQ(TxtReadValue(s, &speed), 0u);
  EXPECT_EQ(FloatBits(speed.value.f), FloatBits(3.0f));
  SymDisposeTable(&vars);
}

}  // namespace
