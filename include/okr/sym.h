/* okr symbol table: named integer and float values that expressions may use
   where they could use a number.

   A table is one block: the header below, followed directly by `count`
   SymbolEntry records. Names live NUL-terminated in the relocatable block
   `names`. The expression tokenizer looks names up in the table that
   `exprSymbolTable` points to; installing a table is assigning it there. */
#ifndef OKR_SYM_H
#define OKR_SYM_H

#include <okr/expr.h>
#include <okr/mem.h>
#include <okr/types.h>

OKR_BEGIN_DECLS

/* One named value. `type` and `value` have the layout of an ExprValue. */
typedef struct SymbolEntry {
  uint32_t hash;       /* SymHash of the name */
  uint32_t nameOffset; /* offset of the name in the data of `names` */
  uint32_t type;       /* ExprTypeInt or ExprTypeFloat */
  ExprNumber value;
} SymbolEntry;

/* The table header. The lookup reads only `count` and `names`; the other
   three fields belong to whoever fills the table (the builder below keeps
   its bookkeeping there). */
typedef struct SymbolTable {
  uint32_t capacity;  /* builder: entries the block has room for */
  uint32_t namesUsed; /* builder: bytes of `names` in use */
  int32_t count;      /* entries that follow the header */
  uint32_t reserved;  /* builder: always 0 */
  Handle names;       /* the names, each NUL-terminated */
} SymbolTable;

/* The table the expression tokenizer consults; null at first (every name is
   then unknown). */
OKR_API extern SymbolTable* exprSymbolTable;

/* The entries that follow `table`'s header. */
static inline SymbolEntry* SymEntries(SymbolTable* table) {
#ifdef __cplusplus
  return reinterpret_cast<SymbolEntry*>(table + 1);
#else
  return (SymbolEntry*)(table + 1);
#endif
}

/* ---- Lookup ------------------------------------------------------------- */

/* The hash of a NUL-terminated name: the sum, modulo 2^32, of each byte taken
   as a signed 8-bit number times its index from 0 ("ab" hashes to 98; every
   one-character name to 0; a null name to 0). */
OKR_API uint32_t SymHash(const char* name);

/* The highest index whose entry holds `name` exactly (case matters), or -1
   when none does or for a null table or name. Leaves `names` unlocked. */
OKR_API int32_t SymFind(SymbolTable* table, const char* name);

/* Copies the type and value of the newest entry named `name` into *outValue
   and returns 1; returns 0 and leaves *outValue alone when there is none
   (also for a null table, name or out value). */
OKR_API int32_t SymLookup(SymbolTable* table, const char* name, ExprValue* outValue);

/* ---- Building ------------------------------------------------------------ */

/* A new empty table (a locked block of the current heap) with an empty names
   block; *outTable is set to null first. Returns 0; 0x4101 for a null out
   reference; the memory manager's last error (0x4603) when memory runs
   short (nothing is left behind). */
OKR_API ErrCode SymNewTable(SymbolTable** outTable);

/* Appends an entry; the newest entry of a name hides the older ones. The
   table block may move: *tableRef is updated, and so is exprSymbolTable
   when it named the table. A name must be one the tokenizer can read: 1 to
   31 bytes, starting with a letter or one of "[]_`{", followed by letters,
   digits or the identifier signs of the text stream. The name is read
   before anything grows, so it may lie in any block, an entry's name in the
   table's own names block included. Returns 0; 0x4101 for a null
   argument; 0x4205 for a name the tokenizer could never find; a memory code
   when the table cannot grow (its count, entries and names are unchanged;
   its block may have grown, and moved, before the names block failed to). */
OKR_API ErrCode SymAddInt(SymbolTable** tableRef, const char* name, int32_t value);
OKR_API ErrCode SymAddFloat(SymbolTable** tableRef, const char* name, float value);

/* Disposes of the names and the table and sets *tableRef to null; clears
   exprSymbolTable when it named the table. Returns 0; 0x4101 for a null
   reference or table. */
OKR_API ErrCode SymDisposeTable(SymbolTable** tableRef);

OKR_END_DECLS

#endif
