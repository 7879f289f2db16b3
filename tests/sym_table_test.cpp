// Symbol table: hashes, newest-wins lookup, exact names, the builder.
#include <okr/sym.h>

#include "txt_support.h"

namespace {

using SymTable = TextTest;

TEST_F(SymTable, Hash) {
  struct Case {
    const char* name;
    uint32_t hash;
  } cases[] = {{"ab", 98}, {"abc", 296},        {"x", 0},
               {"", 0},    {"a\x80", 0u - 128}, {"a\x80\x81", 0u - 382}};
  for (const Case& c : cases)
    EXPECT_EQ(SymHash(c.name), c.hash) << c.name;
}

TEST_F(SymTable, LookupFindsTheNewestExactName) {
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  EXPECT_EQ(SymFind(table, "w"), -1);
  // Enough entries and names to make both blocks grow.
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(SymAddInt(&table, ("filler" + std::to_string(i)).c_str(), i), 0u);
  }
  ASSERT_EQ(SymAddInt(&table, "width", 1), 0u);
  ASSERT_EQ(SymAddInt(&table, "Width", 2), 0u);
  ASSERT_EQ(SymAddFloat(&table, "xab", 0.5f), 0u);
  ASSERT_EQ(SymAddInt(&table, "yab", 4), 0u);
  ASSERT_EQ(SymAddInt(&table, "width", 3), 0u);
  EXPECT_EQ(SymHash("xab"), SymHash("yab"));
  MemLockHandle(table->names);
  struct Case {
    const char* name;
    int32_t index;
    uint32_t type;
    uint32_t bits;
  } cases[] = {{"width", 44, ExprTypeInt, 3},          {"Width", 41, ExprTypeInt, 2},
               {"xab", 42, ExprTypeFloat, 0x3F000000}, {"yab", 43, ExprTypeInt, 4},
               {"filler7", 7, ExprTypeInt, 7},         {"widt", -1, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(SymFind(table, c.name), c.index) << c.name;
    ExprValue v{7, {7}};
    EXPECT_EQ(SymLookup(table, c.name, &v), c.index >= 0 ? 1 : 0);
    if (c.index < 0) continue;
    EXPECT_EQ(v.type, c.type) << c.name;
    EXPECT_EQ(static_cast<uint32_t>(v.value.i), c.bits) << c.name;
  }
  EXPECT_FALSE(MemGetFlags(table->names) & memFlagLocked);
  EXPECT_EQ(SymDisposeTable(&table), 0u);
}

TEST_F(SymTable, BuilderRefusesUnreadableNamesAndCleansUp) {
  const uint32_t before = BlocksInUse();
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  exprSymbolTable = table;
  for (const char* bad :
       {"", "1a", ".x", "[x]", "a b", "a-b", "abcdefghijklmnopqrstuvwxyz012345"}) {
    EXPECT_EQ(SymAddInt(&table, bad, 1), static_cast<ErrCode>(errInvalidVariable)) << bad;
  }
  for (const char* good : {"[x", "_a", "a.b", "{x", "a<b", "abcdefghijklmnopqrstuvwxyz01234"}) {
    EXPECT_EQ(SymAddInt(&table, good, 1), 0u) << good;
  }
  for (int i = 0; i < 20; ++i)
    SymAddInt(&table, "grow", i);
  EXPECT_EQ(exprSymbolTable, table);
  EXPECT_EQ(SymAddInt(nullptr, "a", 1), static_cast<ErrCode>(errNilPointer));
  EXPECT_EQ(SymDisposeTable(&table), 0u);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(exprSymbolTable, nullptr);
  EXPECT_EQ(BlocksInUse(), before);
}

}  // namespace
