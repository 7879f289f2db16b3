// Symbol table: hashes, newest-wins lookup, exact names, the builder.
#include <okr/sym.h>

#include "txt_support.h"

namespace {

using SymTable = TextTest;

TEST_F(SymTable, Hash) {
  const struct {
    const char* name;
    uint32_t hash;
  } cases[] = {{"ab", 98}, {"abc", 296}, {"x", 0}, {"", 0}, {"a\x80\x81", 0u - 382}};
  for (const auto& c : cases)
    EXPECT_EQ(SymHash(c.name), c.hash) << c.name;
}

TEST_F(SymTable, LookupFindsTheNewestExactName) {
  const uint32_t before = BlocksInUse();
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  exprSymbolTable = table;
  EXPECT_EQ(SymFind(table, "w"), -1);
  // Enough entries and names to make both blocks grow.
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(SymAddInt(&table, ("filler" + std::to_string(i)).c_str(), i), 0u);
  ASSERT_EQ(SymAddFloat(&table, "xab", 0.5f), 0u);
  for (const char* good : {"width", "Width", "yab", "[x", "{x", "a<b", "width"})
    ASSERT_EQ(SymAddInt(&table, good, good[0] == 'W' ? 2 : 3), 0u) << good;
  EXPECT_EQ(exprSymbolTable, table);
  for (const char* bad : {"", "1a", ".x", "[x]", "a b", "a-b", "abcdefghijklmnopqrstuvwxyz012345"})
    EXPECT_EQ(SymAddInt(&table, bad, 1), static_cast<ErrCode>(errInvalidVariable)) << bad;
  MemLockHandle(table->names);
  const struct {
    const char* name;
    int32_t index;
    uint32_t type, bits;
  } cases[] = {{"width", 47, ExprTypeInt, 3},          {"Width", 42, ExprTypeInt, 2},
               {"xab", 40, ExprTypeFloat, 0x3F000000}, {"yab", 43, ExprTypeInt, 3},
               {"filler7", 7, ExprTypeInt, 7},         {"widt", -1, 7, 7}};
  for (const auto& c : cases) {
    EXPECT_EQ(SymFind(table, c.name), c.index) << c.name;
    ExprValue v{7, {7}};
    EXPECT_EQ(SymLookup(table, c.name, &v), c.index >= 0 ? 1 : 0);
    EXPECT_EQ(v.type, c.type) << c.name;
    EXPECT_EQ(static_cast<uint32_t>(v.value.i), c.bits) << c.name;
  }
  EXPECT_FALSE(MemGetFlags(table->names) & memFlagLocked);
  EXPECT_EQ(SymAddInt(nullptr, "a", 1), static_cast<ErrCode>(errNilPointer));
  EXPECT_EQ(SymDisposeTable(&table), 0u);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(exprSymbolTable, nullptr);
  EXPECT_EQ(BlocksInUse(), before);
}

// A table that cannot grow stays usable: the search for room compacts the
// heap first and moves the table, which an unlocked block after it lets
// slide into the gap below.
TEST_F(SymTable, FailedGrowthKeepsTheTable) {
  Heap* small = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 16384, &small), 0u);
  ASSERT_EQ(MemSetHeap(small), 0u);
  Handle below = MemNewHandle(200);
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  exprSymbolTable = table;
  const char* names[] = {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7"};
  for (const char* name : names)
    ASSERT_EQ(SymAddInt(&table, name, 1), 0u);
  ASSERT_NE(MemNewHandle(16), nullptr);
  ASSERT_NE(MemNewPtr(16), nullptr);
  Handle above = MemNewHandle(200);
  for (uint32_t size = 16384; size >= 1; size /= 2)
    while (MemNewPtr(size) != nullptr) {
    }
  // Two gaps that together would hold the grown table, apart.
  MemDisposeHandle(below);
  MemDisposeHandle(above);
  EXPECT_EQ(SymAddInt(&table, "a8", 1), static_cast<ErrCode>(errMemOutOfMemory));
  EXPECT_EQ(MemPtrToHandle(table)->data, static_cast<void*>(table));
  EXPECT_EQ(exprSymbolTable, table);
  EXPECT_EQ(table->count, 8);
  EXPECT_EQ(SymFind(table, "a7"), 7);
  EXPECT_EQ(MemCheckHeap(small), 0u);
  EXPECT_EQ(MemDisposeHeap(&small), 0u);
  exprSymbolTable = nullptr;
  ASSERT_EQ(MemSetHeap(heap_), 0u);
}

// An entry's name added again from the table's own names block (the newest
// entry wins) is read before that block grows and moves from behind the
// locked table.
TEST_F(SymTable, NameFromTheNamesBlockSurvivesItsGrowth) {
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  const std::string names[] = {std::string(30, 'a'), std::string(30, 'b'), std::string(30, 'c'),
                               std::string(30, 'd')};
  for (const std::string& name : names)
    ASSERT_EQ(SymAddInt(&table, name.c_str(), 1), 0u);
  const void* before = table->names->data;
  const char* own = static_cast<const char*>(before) + SymEntries(table)[1].nameOffset;
  ASSERT_EQ(SymAddInt(&table, own, 2), 0u);
  ASSERT_NE(table->names->data, before);  // the names block moved
  EXPECT_EQ(SymFind(table, names[1].c_str()), 4);
  EXPECT_EQ(
      std::string(static_cast<const char*>(table->names->data) + SymEntries(table)[4].nameOffset),
      names[1]);
  EXPECT_EQ(SymEntries(table)[4].hash, SymHash(names[1].c_str()));
  EXPECT_EQ(SymDisposeTable(&table), 0u);
}

// A table whose entries or names have grown to where a doubled block size
// no longer fits in 32 bits cannot grow; the header is set here to what
// such a table's reads, the block itself stays small.
TEST_F(SymTable, GrowthStopsAt32BitSizes) {
  const struct {
    int32_t count;  // capacity too
    uint32_t namesUsed;
  } cases[] = {{0x08000000, 0}, {0x0FFFFFFF, 0}, {0, 0xFFFFFFF0}, {0, 0x80000000}};
  for (const auto& c : cases) {
    SymbolTable* table = nullptr;
    ASSERT_EQ(SymNewTable(&table), 0u);
    SymbolTable* const before = table;
    table->count = c.count;
    table->capacity = c.count != 0 ? static_cast<uint32_t>(c.count) : table->capacity;
    const uint32_t capacity = table->capacity;
    table->namesUsed = c.namesUsed;
    EXPECT_EQ(SymAddInt(&table, "abcdefghijklmnopqrstuvwxyz01234", 1),
              static_cast<ErrCode>(errMemOutOfMemory))
        << c.count << " " << c.namesUsed;
    EXPECT_EQ(table, before);
    EXPECT_EQ(table->count, c.count);
    EXPECT_EQ(table->capacity, capacity);
    EXPECT_GE(MemGetHandleSize(MemPtrToHandle(table)), sizeof(SymbolTable));
    table->count = 0;
    EXPECT_EQ(SymDisposeTable(&table), 0u);
  }
}

// A table filled in by hand may have an empty names block, or none: the
// first name grows the block from nothing, or fails with the handle's code.
TEST_F(SymTable, EmptyOrMissingNamesBlock) {
  SymbolTable* table = nullptr;
  ASSERT_EQ(SymNewTable(&table), 0u);
  ASSERT_EQ(MemSetHandleSize(table->names, 0), 0u);
  ASSERT_EQ(SymAddInt(&table, "x", 7), 0u);
  EXPECT_EQ(SymFind(table, "x"), 0);
  EXPECT_STREQ(static_cast<const char*>(table->names->data), "x");
  const Handle names = table->names;
  table->names = nullptr;
  EXPECT_EQ(SymAddInt(&table, "y", 8), static_cast<ErrCode>(errMemNilHandle));
  table->names = names;
  EXPECT_EQ(SymDisposeTable(&table), 0u);
}

}  // namespace
