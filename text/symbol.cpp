// Looking names up in a symbol table: the hash, the search from the newest
// entry down, and the copy of the value.
#include <okr/sym.h>

#include <stddef.h>
#include <string.h>

static_assert(offsetof(SymbolTable, count) == 8);
static_assert(offsetof(SymbolTable, names) == 16);
static_assert(sizeof(SymbolTable) == 16 + sizeof(Handle));
static_assert(offsetof(SymbolEntry, hash) == 0);
static_assert(offsetof(SymbolEntry, nameOffset) == 4);
static_assert(offsetof(SymbolEntry, type) == 8);
static_assert(offsetof(SymbolEntry, value) == 12);
static_assert(sizeof(SymbolEntry) == 16);
// An entry's type and value are copied out as one ExprValue.
static_assert(sizeof(ExprValue) == sizeof(SymbolEntry) - offsetof(SymbolEntry, type));

SymbolTable* exprSymbolTable = nullptr;

uint32_t SymHash(const char* name) {
  uint32_t hash = 0;
  if (name == nullptr) return hash;
  for (uint32_t i = 0; name[i] != '\0'; ++i) {
    hash += static_cast<uint32_t>(static_cast<int8_t>(name[i])) * i;
  }
  return hash;
}

int32_t SymFind(SymbolTable* table, const char* name) {
  if (table == nullptr || name == nullptr || table->names == nullptr) return -1;
  MemLockHandle(table->names);
  const char* names = static_cast<const char*>(table->names->data);
  const uint32_t hash = SymHash(name);
  const SymbolEntry* entries = SymEntries(table);
  int32_t found = -1;
  for (int32_t i = table->count - 1; i >= 0; --i) {
    if (entries[i].hash == hash && strcmp(names + entries[i].nameOffset, name) == 0) {
      found = i;
      break;
    }
  }
  MemUnlockHandle(table->names);
  return found;
}

int32_t SymLookup(SymbolTable* table, const char* name, ExprValue* outValue) {
  if (outValue == nullptr) return 0;
  const int32_t index = SymFind(table, name);
  if (index < 0) return 0;
  const SymbolEntry& entry = SymEntries(table)[index];
  outValue->type = entry.type;
  outValue->value = entry.value;
  return 1;
}
