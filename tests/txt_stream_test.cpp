// Text stream: tokens per line, line walks, keywords, quotes, string fields
// and the lifecycle.
#include <okr/txt.h>

#include "txt_support.h"

namespace {

using TxtStream = TextTest;

// Every token of the cursor's line joined by '|'; checks that the 0 at the
// end of the line is stable.
std::string LineTokens(TextStream* s, int32_t bufferSize = 255) {
  std::string joined;
  char buffer[256];
  while (TxtNextToken(s, buffer, bufferSize)) {
    if (!joined.empty()) joined += '|';
    joined += buffer;
  }
  char* pos = s->pos;
  EXPECT_EQ(TxtNextToken(s, buffer, bufferSize), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(s->pos, pos);
  return joined;
}

TEST_F(TxtStream, TokensOfALine) {
  struct Case {
    std::string_view text;
    int32_t bufferSize;
    const char* tokens;
  } cases[] = {
      // clang-format off
      {"width 640\n", 255, "width|640"}, {"x=5\n", 255, "x|=5"},
      {"x = 5\n", 255, "x|=|5"}, {"a, b ,c\n", 255, "a|b|c"},
      {"name <file one.txt> 3\n", 255, "name|<file one.txt>|3"}, {"abc;note\n", 255, "abc"},
      {"abc//note\n", 255, "abc"}, {"a / /x\n", 255, "a|/|/x"},
      {"1.5e-3\n", 255, "1.5e|-3"}, {"-5,+6\n", 255, "-5|+6"},
      {"$10 %101 0x1F @x #5 .5 _x\n", 255, "$10|%101|0x1F|@x|#5|.5|_x"}, {"a<b>c\n", 255, "a<b>c"},
      {"<a>>\n", 255, "<a>|>"}, {"  ;note\n", 255, ""},
      {"abcdefg hi\n", 4, "abc|def|g|hi"}, {"a b", 255, "a"},
      {"a bc", 255, "a|bc"}, {"a/b\n", 255, "a|/b"},
      {"a//b\n", 255, "a"}, {"a,,b\r\n", 255, "a|b"},
      {"a\tb\x80g\xff\n", 255, "a|b|g"}, {"<a><b>\n", 255, "<a>|<b>"},
      {"/abc def\n", 255, "/abc|def"}, {"say \"Hello World\"\n", 255, "say|\"Hello World\""},
      {"<a\nb; //c> d\n", 255, "<a\nb; //c>|d"}, {"x <ab\ncd", 255, "x|<ab\ncd"},
      {std::string_view("a\0b c\n", 6), 255, "a|c"}, {std::string_view("\0\0ab\n", 5), 255, "ab"},
      {"", 255, ""},
      // clang-format on
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LineTokens(Open(c.text), c.bufferSize), c.tokens) << c.text;
  }
}

TEST_F(TxtStream, NextLineSkipsEmptyAndCommentLines) {
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    std::string text;
    for (const char* line : {"first", "", "   ", ";c", "/c", "  ;indented", "last"}) {
      text += std::string(line) + eol;
    }
    TextStream* s = Open(text);
    std::vector<std::string> lines;
    while (TxtNextLine(s)) {
      EXPECT_EQ(s->line, s->pos);
      lines.emplace_back(s->line, TxtFindLineEnd(s->line, s->end));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"   ", "  ;indented", "last"})) << eol[0];
  }
}

TEST_F(TxtStream, FindKeywordCountsTokensPassed) {
  const std::string text = "; settings\nwidth 640\n\n// size\nheight 480 <title> <end>\n";
  const std::string k254(254, 'k'), k255(255, 'k');
  const struct {
    std::string text, keyword;
    int32_t found;
    uint32_t count;
    const char* next;
  } cases[] = {
      {text, "height", 1, 2, "480"},  {text, "end", 1, 5, ""}, {text, "Height", 0, 6, ""},
      {text, "<end>", 0, 6, ""},      {"", "x", 0, 0, ""},     {k254 + " x\n", k254, 1, 0, "x"},
      {k255 + " x\n", k255, 0, 3, ""}};
  for (const auto& c : cases) {
    TextStream* s = Open(c.text);
    uint32_t count = 99;
    EXPECT_EQ(TxtFindKeyword(s, c.keyword.c_str(), &count), c.found) << c.keyword;
    EXPECT_EQ(count, c.count) << c.keyword;
    char buffer[32];
    TxtNextToken(s, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, c.next) << c.keyword;
  }
  // The search reads on only; from the text's first byte it finds what lies
  // behind the cursor.
  TextStream* s = Open(text);
  uint32_t count = 0;
  EXPECT_EQ(TxtFindKeyword(s, "height", &count), 1);
  EXPECT_EQ(TxtFindKeyword(s, "width", &count), 0);
  s->pos = static_cast<char*>(s->handle->data);
  EXPECT_EQ(TxtFindKeyword(s, "width", &count), 1);
  EXPECT_EQ(count, 0u);
}

TEST_F(TxtStream, StripQuotes) {
  const char* cases[][2] = {
      {"<abc>", "abc"},   {"<abc", "abc"},  {"<ab>cd", "ab"},   {"<>", ""},   {"abc>", "abc>"},
      {"\"abc\"", "abc"}, {"\"abc", "abc"}, {"\"ab\"cd", "ab"}, {"\"\"", ""}, {"", ""}};
  for (auto& c : cases) {
    char buffer[16];
    strcpy(buffer, c[0]);
    EXPECT_STREQ(TxtStripQuotes(buffer), c[1]) << c[0];
  }
}

TEST_F(TxtStream, ReadStringStripsQuotesAndFailsAtLineEnd) {
  TextStream* s = Open("title \"Hello World\"\nx");
  char buffer[64];
  EXPECT_EQ(TxtReadString(s, buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "title");
  EXPECT_EQ(TxtReadString(s, buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "Hello World");
  EXPECT_EQ(TxtReadString(s, buffer, sizeof buffer), static_cast<ErrCode>(errIncompleteToken));
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(TxtReadString(Open(""), buffer, sizeof buffer),
            static_cast<ErrCode>(errIncompleteToken));
  EXPECT_EQ(TxtNextToken(s, buffer, 1), 0);
}

TEST_F(TxtStream, LifecycleAndFailures) {
  const uint32_t before = BlocksInUse();
  TextStream* s = nullptr;
  EXPECT_EQ(TxtNewStream(nullptr, &s), static_cast<ErrCode>(errNilPointer));
  EXPECT_EQ(TxtInitStream(nullptr, nullptr), static_cast<ErrCode>(errNilPointer));
  EXPECT_EQ(TxtNewEmptyStream(16, nullptr), static_cast<ErrCode>(errNilPointer));
  // A disposed handle holds no text; locking it would mark a free block.
  Handle gone = MemNewHandle(8);
  MemDisposeHandle(gone);
  TextStream record{};
  EXPECT_EQ(TxtInitStream(&record, gone), static_cast<ErrCode>(errBadData));
  EXPECT_EQ(record.pos, nullptr);
  ASSERT_EQ(TxtNewEmptyStream(8, &s), 0u);
  EXPECT_EQ(s->size, 8u);
  EXPECT_EQ(s->flags, static_cast<uint32_t>(txtFlagLocked));
  EXPECT_TRUE(MemGetFlags(s->handle) & memFlagLocked);
  memcpy(s->pos, "ab cd\nef", 8);

  EXPECT_EQ(TxtReleaseStream(s), 0u);
  EXPECT_EQ(TxtReleaseStream(s), 0u);
  EXPECT_FALSE(MemGetFlags(s->handle) & memFlagLocked);
  EXPECT_EQ(s->pos, nullptr);
  char buffer[8];
  uint32_t count;
  EXPECT_EQ(TxtNextToken(s, buffer, sizeof buffer) + TxtNextLine(s) + TxtSkipToken(s) +
                TxtFindKeyword(s, "ab", &count),
            0);

  ASSERT_EQ(TxtResizeStream(s, 11), 0u);
  EXPECT_EQ(s->size, 11u);
  memcpy(s->pos + 8, "gh\n", 3);
  EXPECT_EQ(LineTokens(s), "ab|cd");
  ASSERT_EQ(TxtNextLine(s), 1);
  EXPECT_EQ(LineTokens(s), "efgh");

  EXPECT_EQ(TxtDisposeStream(&s), 0u);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(TxtDisposeStream(&s), static_cast<ErrCode>(errNilPointer));
  EXPECT_EQ(BlocksInUse(), before);
}

}  // namespace
