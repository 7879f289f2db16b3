// The sample settings file read with variables, as the README shows it.
#include <okr/expr.h>
#include <okr/sym.h>

#include <fstream>
#include <sstream>

#include "txt_support.h"

namespace {

using TxtSettings = TextTest;

TEST_F(TxtSettings, SampleFileWithVariables) {
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
  uint32_t passed;
  const struct {
    const char* name;
    int32_t value;
  } ints[] = {{"width", 640}, {"height", 680}, {"tile", 32}, {"columns", 3},
              {"border", 5},  {"tag", 0x4F4B}, {"speed", 3}, {"layers", 3}};
  for (const auto& field : ints) {
    ASSERT_EQ(TxtFindKeyword(s, field.name, &passed), 1) << field.name;
    int32_t value = 0;
    EXPECT_EQ(TxtReadInt(s, &value), 0u) << field.name;
    EXPECT_EQ(value, field.value) << field.name;
  }
  int32_t more[2];
  EXPECT_EQ(TxtReadInt(s, &more[0]) | TxtReadInt(s, &more[1]), 0u);
  EXPECT_EQ(more[0] * 10 + more[1], 58);
  TxtInitStream(s, s->handle);
  ASSERT_EQ(TxtFindKeyword(s, "speed", &passed), 1);
  ExprValue speed;
  EXPECT_EQ(TxtReadValue(s, &speed), 0u);
  EXPECT_EQ(FloatBits(speed.value.f), FloatBits(3.0f));
  SymDisposeTable(&vars);
}

}  // namespace
