// Building symbol tables: a new table, appending integer and float entries,
// disposing of a table. The table is a locked block that grows by doubling;
// its names are appended to the unlocked `names` block.
#include <okr/err.h>
#include <okr/sym.h>

#include <string.h>

#include "text/chars.h"

namespace {

constexpr uint32_t kFirstCapacity = 8;
constexpr uint32_t kFirstNamesSize = 128;
constexpr size_t kMaxNameLength = 31;  // what the tokenizer reads of a name

// The most entries a table block can hold: block sizes are 32-bit.
constexpr uint32_t kMaxCapacity = (UINT32_MAX - sizeof(SymbolTable)) / sizeof(SymbolEntry);

uint32_t TableBytes(uint32_t capacity) {
  return static_cast<uint32_t>(sizeof(SymbolTable) + capacity * sizeof(SymbolEntry));
}

ErrCode MemoryFailure() {
  ErrCode err = MemGetError();
  return err != errNone ? err : static_cast<ErrCode>(errMemOutOfMemory);
}

// A name the tokenizer can read back: it starts with a letter or one of
// "[]_`{" and goes on with identifier bytes.
bool IsReadableName(const char* name) {
  const size_t length = strlen(name);
  if (length == 0 || length > kMaxNameLength) return false;
  const char c = name[0];
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (!letter && strchr("[]_`{", c) == nullptr) return false;
  for (size_t i = 1; i < length; ++i) {
    if (!okr_text::IsIdentByte(name[i])) return false;
  }
  return true;
}

// Makes room for one more entry; the table block may move, also when it
// cannot grow (the search for room compacts the heap first).
ErrCode GrowEntries(SymbolTable** tableRef) {
  SymbolTable* table = *tableRef;
  if (static_cast<uint32_t>(table->count) < table->capacity) return errNone;
  // The doubled size would wrap around and shrink the block.
  if (table->capacity > kMaxCapacity / 2) return errMemOutOfMemory;
  Handle block = MemPtrToHandle(table);
  const uint32_t capacity = table->capacity * 2;
  MemUnlockHandle(block);
  ErrCode err = MemSetHandleSize(block, TableBytes(capacity));
  MemLockHandle(block);
  table = static_cast<SymbolTable*>(block->data);
  if (exprSymbolTable == *tableRef) exprSymbolTable = table;
  *tableRef = table;
  if (err != errNone) return err;
  table->capacity = capacity;
  return errNone;
}

// Copies `name` to the end of the names block; its offset goes to *outOffset.
ErrCode AppendName(SymbolTable* table, const char* name, uint32_t* outOffset) {
  const uint32_t bytes = static_cast<uint32_t>(strlen(name) + 1);
  // Sizes are summed and doubled in 64 bits: in 32 they would wrap around
  // past 2 GiB of names.
  const uint64_t needed = uint64_t{table->namesUsed} + bytes;
  if (needed > UINT32_MAX) return errMemOutOfMemory;
  uint64_t size = MemGetHandleSize(table->names);
  if (needed > size) {
    // An empty names block (or none: MemSetHandleSize then refuses it) grows
    // from the name's size; doubling 0 would never reach it.
    if (size < bytes) size = bytes;
    while (needed > size)
      size *= 2;
    const auto newSize = static_cast<uint32_t>(size < UINT32_MAX ? size : UINT32_MAX);
    if (ErrCode err = MemSetHandleSize(table->names, newSize)) return err;
  }
  memcpy(static_cast<char*>(table->names->data) + table->namesUsed, name, bytes);
  *outOffset = table->namesUsed;
  table->namesUsed += bytes;
  return errNone;
}

ErrCode AddEntry(SymbolTable** tableRef, const char* name, uint32_t type, ExprNumber value) {
  if (tableRef == nullptr || *tableRef == nullptr || name == nullptr) return errNilPointer;
  if (!IsReadableName(name)) return errInvalidVariable;
  // The name is read before anything grows: it may lie in a block that the
  // growth moves, such as the names block itself when an entry's name is
  // added again.
  char copy[kMaxNameLength + 1];
  memcpy(copy, name, strlen(name) + 1);
  if (ErrCode err = GrowEntries(tableRef)) return err;
  SymbolTable* table = *tableRef;
  uint32_t offset = 0;
  if (ErrCode err = AppendName(table, copy, &offset)) return err;
  SymbolEntry& entry = SymEntries(table)[table->count];
  entry.hash = SymHash(copy);
  entry.nameOffset = offset;
  entry.type = type;
  entry.value = value;
  ++table->count;
  return errNone;
}

}  // namespace

ErrCode SymNewTable(SymbolTable** outTable) {
  if (outTable == nullptr) return errNilPointer;
  *outTable = nullptr;
  Handle names = MemNewHandle(kFirstNamesSize);
  if (names == nullptr) return MemoryFailure();
  auto* table = static_cast<SymbolTable*>(MemNewPtrClear(TableBytes(kFirstCapacity)));
  if (table == nullptr) {
    ErrCode err = MemoryFailure();
    MemDisposeHandle(names);
    return err;
  }
  table->capacity = kFirstCapacity;
  table->names = names;
  *outTable = table;
  return errNone;
}

ErrCode SymAddInt(SymbolTable** tableRef, const char* name, int32_t value) {
  ExprNumber number;
  number.i = value;
  return AddEntry(tableRef, name, ExprTypeInt, number);
}

ErrCode SymAddFloat(SymbolTable** tableRef, const char* name, float value) {
  ExprNumber number;
  number.f = value;
  return AddEntry(tableRef, name, ExprTypeFloat, number);
}

ErrCode SymDisposeTable(SymbolTable** tableRef) {
  if (tableRef == nullptr || *tableRef == nullptr) return errNilPointer;
  SymbolTable* table = *tableRef;
  if (exprSymbolTable == table) exprSymbolTable = nullptr;
  MemDisposeHandle(table->names);
  MemDisposePtr(table);
  *tableRef = nullptr;
  return errNone;
}
