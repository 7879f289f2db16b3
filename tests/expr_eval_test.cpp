// Expressions: values, types and codes of whole expressions, where the
// cursor is left, the token list and the buffer limit.
#include <okr/expr.h>
#include <okr/sym.h>

#include <float.h>
#include <limits.h>

#include "txt_support.h"

namespace {

struct Expect {
  int32_t result;  // ExprEvaluate's result: 1, 0 or an error code
  uint32_t type;
  uint32_t bits;
};

class ExprEval : public TextTest {
 protected:
  static Expect I(int32_t v, int32_t result = 1) { return {result, ExprTypeInt, uint32_t(v)}; }
  static Expect F(float f) { return {1, ExprTypeFloat, FloatBits(f)}; }
  static Expect FB(uint32_t bits) { return {1, ExprTypeFloat, bits}; }
  static Expect E(int32_t code) { return {code, 0, 0}; }

  void SetUp() override {
    TextTest::SetUp();
    ASSERT_EQ(SymNewTable(&table_), 0u);
    SymAddInt(&table_, "width", 640);
    SymAddInt(&table_, "a", 1);
    SymAddInt(&table_, "b", 2);
    SymAddFloat(&table_, "half", 0.5f);
    SymAddInt(&table_, "abcdefghijklmnopqrstuvwxyz01234", 9);
    exprSymbolTable = table_;
  }
  void TearDown() override {
    SymDisposeTable(&table_);
    TextTest::TearDown();
  }

  // Evaluates `text`; checks result, type, bits and, when given, the cursor.
  void Check(std::string_view text, Expect want, long pos = -1) {
    TextStream* s = Open(text);
    ExprValue v{};
    const int32_t got = ExprEvaluate(s, &v);
    EXPECT_EQ(got, want.result) << text;
    if (got != 0 && got != 1) return;
    EXPECT_EQ(v.type, want.type) << text;
    EXPECT_EQ(static_cast<uint32_t>(v.value.i), want.bits) << text;
    if (pos >= 0) {
      EXPECT_EQ(Offset(s), pos) << text;
    }
  }

  SymbolTable* table_ = nullptr;
};

TEST_F(ExprEval, ValuesAndCodes) {
  struct Case {
    const char* text;
    Expect want;
  } cases[] = {
      // clang-format off
      // grouping and precedence
      {"10 - 2 - 3", I(11)}, {"2 + 2 == 4", I(2)}, {"(2 + 2) == 4", I(1)}, {"1 < 2 < 3", I(0)},
      {"2 * 3 + 4", I(10)}, {"2 + 3 * 4", I(14)}, {"-2 * 3", I(-6)}, {"100 / 10 / 2", F(20)},
      // division and remainder
      {"7 / 2", F(3.5f)}, {"6 / 3", F(2)}, {"1.5 + 1", F(2.5f)}, {"5 / 0.5", F(10)},
      {"5 / 0", E(errDivideByZero)}, {"5 \\ 0", E(errDivideByZero)},
      {"5 \\ 0.5", E(errDivideByZero)}, {"5 / -0.0", E(errDivideByZero)},
      {"7 \\ 2", I(1)}, {"-7 \\ 2", I(-1)}, {"7 \\ -2", I(1)}, {"-2147483648 \\ -1", I(0)},
      // bit operations and prefixes
      {"3 & 5", I(6)}, {"3 ^ 5", I(6)}, {"3 | 5", I(7)}, {"6.9 | 1", I(7)},
      {"-~5", I(4)}, {"~-5", E(errSyntax)}, {"--5", I(5)}, {"-(1 + 2)", I(-3)},
      {"^>$123456", I(0x1234)}, {"<$1234", I(0x1234)}, {"^$123456", I(0x12)}, {">$1234", I(0x12)},
      {"^$FFFFFFFF", I(-1)}, {"^-1", E(errSyntax)}, {"~1.5", I(-2)}, {"-1.5", F(-1.5f)},
      {"^100000.0", I(1)}, {"1 << 33", I(2)}, {"-8 >> 1", I(-4)},
      // wrapping, comparisons, NaN
      {"2147483647 + 1", I(INT_MIN)}, {"65536 * 65536", I(0)}, {"3000000000.0", FB(0x4F32D05E)},
      {"16777217 == 16777216.0", I(1)}, {"2 != 3", I(1)}, {"2 <= 2", I(1)}, {"3 >= 4", I(0)},
      {"(1E39 - 1E39) == 0", I(0)}, {"(1E39 - 1E39) != 0", I(1)}, {"(1E39 - 1E39) < 1", I(0)},
      // syntax and balance
      {"", E(errSyntax)}, {",", E(errSyntax)}, {"}", E(errSyntax)}, {",,5", E(errSyntax)},
      {"1 +", E(errSyntax)}, {"1 * * 2", E(errSyntax)}, {"2(3)", E(errSyntax)}, {"(1)2", E(errSyntax)},
      {"(1))+(2", I(1)}, {"(1", E(errParenthesis)}, {"1)", E(errParenthesis)},
      {"2 = 3", E(errMissingParameter)}, {"!3", E(errMissingParameter)},
      // character constants
      {"'ABCDE'", E(errSyntax)}, {"'a'", I(65)}, {"'ab'", I(0x6162)}, {"'AB'", I(0x4142)},
      {"'ABCD'", I(0x41424344)}, {"''", I(0)}, {"'\xe9'", I(-23)}, {"'\x80" "a'", I(65)},
      {"'a\nb'", I(0x610A62)}, {"'ab", E(errSyntax)},
      // hexadecimal and binary
      {"$ff", I(255)}, {"$FF", I(255)}, {"0xff", I(255)}, {"9XFF", I(255)}, {"%1010", I(10)},
      {"$", I(0)}, {"$123456789", I(0x23456789)}, {"%", I(0)},
      // decimals: 123.456, 9.99 and 1E-10 differ from correct rounding in the last bit
      {"12", I(12)}, {"12.", F(12)}, {"12F", F(12)}, {"12E0", F(12)}, {"1.5E2", F(150)},
      {"5E-1", F(0.5f)}, {"1E39", FB(0x7F800000)}, {"1E-50", F(0)}, {"1e+2f", F(100)},
      {"4294967295", I(-1)}, {"2147483648", I(INT_MIN)}, {"9007199254740993", I(0)},
      {"123.456", FB(0x42F6E97A)}, {"9.99", FB(0x411FD70B)}, {"1E-10", FB(0x2EDBE701)},
      {"0.1 + 0.2", FB(0x3E99999A)},
      // a product of scale and mantissa that lies just short of halfway between two doubles:
      // rounded to 64 bits first (x87), it reaches halfway and then rounds one unit up
      {"7319723070959626e-1", FB(0x58266E65)}, {"7319721728782366e-1", FB(0x58266E63)},
      // names
      {".5", E(errInvalidVariable)}, {"\x01", E(errInvalidVariable)},
      {"\x7f", E(errInvalidVariable)}, {"\xc3", E(errInvalidVariable)},
      {"2 * width", I(1280)}, {"half * 4", F(2)}, {"a < b", I(1)}, {"a<b", E(errNoSuchVariable)},
      {"nothere", E(errNoSuchVariable)}, {"[x]", E(errNoSuchVariable)},
      // clang-format on
  };
  for (const Case& c : cases)
    Check(std::string(c.text) + "\n", c.want);
}

// A host program may lower the x87 unit's precision (a graphics runtime that
// sets single precision) or change its rounding; literals and operators give
// the same bits, and the caller's control word is given back.
TEST_F(ExprEval, ValuesIgnoreTheCallersX87Precision) {
#if defined(__i386__) && FLT_EVAL_METHOD == 2
  uint16_t caller;
  __asm__ volatile("fnstcw %0" : "=m"(caller));
  struct Restore {
    uint16_t word;
    ~Restore() { __asm__ volatile("fldcw %0" : : "m"(word)); }
  } restore{caller};
  // single precision, rounding toward zero
  const uint16_t lowered = static_cast<uint16_t>((caller & ~0x0F00u) | 0x0C00u);
  __asm__ volatile("fldcw %0" : : "m"(lowered));
  const struct {
    const char* text;
    Expect want;
  } cases[] = {
      {"16777217", I(16777217)},   {"2147483647", I(INT_MAX)},
      {"0.1", FB(0x3DCCCCCD)},     {"123.456", FB(0x42F6E97A)},
      {"1E-10", FB(0x2EDBE701)},   {"7319723070959626e-1", FB(0x58266E65)},
      {"1 / 3", FB(0x3EAAAAAB)},   {"16777219 + 0.0", FB(0x4B800002)},
      {"0.1 * 3", FB(0x3E99999A)}, {"0.1 - 1", FB(0xBF666666)},
  };
  for (const auto& c : cases) {
    Check(std::string(c.text) + "\n", c.want);
    uint16_t after;
    __asm__ volatile("fnstcw %0" : "=m"(after));
    EXPECT_EQ(after, lowered) << c.text;
  }
#else
  GTEST_SKIP() << "doubles are not computed on the x87 unit here";
#endif
}

TEST_F(ExprEval, WhereTheCursorStops) {
  struct Case {
    std::string_view text;
    Expect want;
    long pos;
  } cases[] = {
      // clang-format off
      {"5, 6", I(5, 0), 2}, {"5} x", I(5, 0), 1}, {"5 ; c", I(5), 2},
      {"5 // c", I(5), 2}, {"1 2", I(1, 0), 2}, {",5\n", I(5), 2},
      {"\"5\" x", I(5, 0), 2}, {"1 + 2\n", I(3), 5}, {"1 + 2,", I(3, 0), 6},
      {"1 + 2", I(3), 5}, {"7 / 2\r\n", F(3.5f), 5}, {std::string_view("4\0", 2), I(4), 1},
      {"width 3", I(640, 0), 6}, {"abcdefghijklmnopqrstuvwxyz0123456", I(9, 0), 31},
      // clang-format on
  };
  for (const Case& c : cases)
    Check(c.text, c.want, c.pos);
}

// A whole text as one expression: what may follow it, and where a failure
// is placed in the caller's text.
TEST_F(ExprEval, WholeText) {
  constexpr uint32_t kUntouched = 99;
  const struct {
    std::string_view text;
    ErrCode code;
    Expect want;  // result unused
    uint32_t errorAt;
  } cases[] = {
      // clang-format off
      {"2 * width", errNone, I(1280), kUntouched}, {"2 * a", errNone, I(2), kUntouched},
      {"7 / 2 ; c\r\n\n", errNone, F(3.5f), kUntouched}, {"\"5\" // c", errNone, I(5), kUntouched},
      {"1 + 2,", errNone, I(3), kUntouched}, {"", errSyntax, I(0), 0},
      {"1 2", errSyntax, I(0), 2}, {"1\n+ 2", errSyntax, I(0), 2}, {"5, 6", errSyntax, I(0), 3},
      {"5 \\ 0", errDivideByZero, I(0), 2}, {"(1 + 2", errParenthesis, I(0), 0},
      {"1 +", errSyntax, I(0), 3}, {"nothere", errNoSuchVariable, I(0), 0},
      {std::string_view("4\0 5", 4), errSyntax, I(0), 3},
      {std::string_view("4\0\0", 3), errNone, I(4), kUntouched},
      {"(1))+(2", errSyntax, I(0), 3}, {"1) + (2", errSyntax, I(0), 1},
      {"1 + 2)", errParenthesis, I(0), 5}, {"1)) + (2", errParenthesis, I(0), 1},
      {"1 ; a\n; b\n// c", errNone, I(1), kUntouched}, {"1\n; a\n2", errSyntax, I(0), 6},
      // clang-format on
  };
  for (const auto& c : cases) {
    ExprValue v{ExprTypeFloat, {7}};
    uint32_t at = kUntouched;
    const auto length = static_cast<uint32_t>(c.text.size());
    EXPECT_EQ(ExprEvaluateText(c.text.data(), length, &v, &at), c.code) << c.text;
    EXPECT_EQ(v.type, c.want.type) << c.text;
    EXPECT_EQ(static_cast<uint32_t>(v.value.i), c.want.bits) << c.text;
    EXPECT_EQ(at, c.errorAt) << c.text;
  }
  ExprValue v;
  EXPECT_EQ(ExprEvaluateText(nullptr, 0, &v, nullptr), errNilPointer);
  EXPECT_EQ(ExprEvaluateText("1", 1, nullptr, nullptr), errNilPointer);
  EXPECT_EQ(ExprEvaluateText("1", UINT32_MAX, &v, nullptr), errMemOutOfMemory);
}

TEST_F(ExprEval, TokenListAndItsLimit) {
  const struct {
    const char* text;
    int32_t result;
    std::vector<uint32_t> codes;
  } cases[] = {
      {"1 + 2\n", 1, {ExprTypeInt, ExprTokAdd, ExprTypeInt, ExprTokEnd}},
      {"1 2", 0, {ExprTypeInt, ExprTokEnd}},
      {"2 != 3;", 1, {ExprTypeInt, ExprTokNe, ExprTypeInt, ExprTokEnd}},
  };
  for (const auto& c : cases) {
    ExprToken* cursor = exprTokenBuffer;
    EXPECT_EQ(ExprTokenize(Open(c.text), &cursor), c.result) << c.text;
    std::vector<uint32_t> codes;
    for (ExprToken* t = exprTokenBuffer; t < cursor; ++t)
      codes.push_back(t->code);
    EXPECT_EQ(codes, c.codes) << c.text;
  }
  // 128 ones and 127 pluses fill the buffer with the closing end token.
  std::string fits = "1";
  for (int i = 0; i < 127; ++i)
    fits += "+1";
  Check(fits + "\n", I(128));
  Check(fits + "+1\n", E(errOverflow));
  Check(std::string(300, '(') + "1" + std::string(300, ')'), E(errOverflow));
}

// The evaluator's building blocks are public too: a null argument is
// refused or left alone, never followed.
TEST_F(ExprEval, BuildingBlocksTakeNullArguments) {
  using Operation = ErrCode (*)(ExprValue*, ExprValue*, ExprValue*);
  const Operation operations[] = {ExprAdd,     ExprSub,    ExprMul,       ExprDiv,   ExprMod,
                                  ExprOr,      ExprXor,    ExprShl,       ExprShr,   ExprLess,
                                  ExprGreater, ExprLessEq, ExprGreaterEq, ExprEqual, ExprNotEqual};
  ExprValue v{ExprTypeInt, {1}};
  for (Operation op : operations) {
    EXPECT_EQ(op(nullptr, &v, &v), errNilPointer);
    EXPECT_EQ(op(&v, nullptr, &v), errNilPointer);
    EXPECT_EQ(op(&v, &v, nullptr), errNilPointer);
  }
  using Level = ErrCode (*)(ExprToken**, ExprValue*);
  for (Level level : {ExprEvalSum, ExprEvalProduct, ExprEvalUnary}) {
    ExprToken* cursor = exprTokenBuffer;
    ExprToken* none = nullptr;
    EXPECT_EQ(level(nullptr, &v), errNilPointer);
    EXPECT_EQ(level(&none, &v), errNilPointer);
    EXPECT_EQ(level(&cursor, nullptr), errNilPointer);
  }
  ExprToInt(nullptr);
  ExprToFloat(nullptr);
  ExprApplyPrefix(nullptr, -1, 0, 0);
  EXPECT_EQ(ExprScanHex(nullptr), 0u);
  EXPECT_EQ(ExprScanBinary(nullptr), 0u);
  float f = 0;
  int32_t i = 0;
  EXPECT_EQ(ExprScanDecimal(Open("12"), nullptr, &i), 0u);
  EXPECT_EQ(ExprScanDecimal(Open("12"), &f, nullptr), 0u);
  ErrCode err = errNone;
  EXPECT_EQ(ExprScanChars(nullptr, &err), 0);
  EXPECT_EQ(err, errNilPointer);
  EXPECT_EQ(ExprScanChars(Open("a'"), nullptr), 0);
  EXPECT_EQ(SymHash(nullptr), 0u);
  EXPECT_EQ(TxtFindLineEnd(nullptr, nullptr), nullptr);
}

}  // namespace
