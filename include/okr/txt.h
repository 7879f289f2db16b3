/* okr text stream: a cursor over line-oriented text held in a handle.

   The stream locks its handle and walks the bytes in place, bounded by the
   handle's size; the text needs no terminating NUL and no scan ever reads at
   or beyond `end`.

   Character classes, bytes compared as signed 8-bit values:
   - line end: CR and LF;
   - blank: every byte whose signed value is at most 32 (0x00-0x20 and
     0x80-0xFF) and the comma, the line ends excepted;
   - identifier byte: letters, digits, the double quote, the apostrophe, '<',
     '>', '#', '$', '%', '.', '@', '_' and NUL; they continue a plain token;
   - comment: ';' or "//" where a token would start; a line whose first byte
     is ';' or '/' is a comment line for TxtNextLine;
   - quoted token: a double quote or '<' as a token's first byte opens it, the
     next double quote or '>' closes it, across blanks and line ends;
   - everything else separates: it ends a plain token, but may start one. */
#ifndef OKR_TXT_H
#define OKR_TXT_H

#include <okr/mem.h>
#include <okr/types.h>

OKR_BEGIN_DECLS

/* A cursor over the text in `handle`. `pos`, `line` and `token` point into
   the text while the stream is set up (handle locked, bit 0 of `flags`) and
   are null while it is released. */
typedef struct TextStream {
  Handle handle;  /* the text; owned by the stream */
  char* pos;      /* where the next scan starts */
  char* end;      /* one past the last byte of the text */
  char* line;     /* start of the current line (for callers only) */
  char* token;    /* start of the most recent token */
  uint32_t size;  /* bytes of text when the stream was set up */
  uint32_t flags; /* txtFlagLocked while the handle is held locked */
} TextStream;

enum { txtFlagLocked = 0x1 };

/* ---- Lifecycle ---------------------------------------------------------- */

/* Sets `stream` over `text` at its first byte and locks the handle.
   Returns 0; 0x4101 for a null stream or handle; the memory manager's last
   error when it is non-zero after locking; 0x4107 for a handle without data
   (already locked then) or one that is not in use (a disposed handle; not
   locked). */
OKR_API ErrCode TxtInitStream(TextStream* stream, Handle text);

/* Allocates a cleared stream record and sets it over `text`; *outStream is
   set to null first and receives the record on success. Returns 0; 0x4101
   for a null handle or out reference (then untouched); 0x4102 when no
   record can be had; or TxtInitStream's code (the record is freed again and
   the handle stays the caller's). */
OKR_API ErrCode TxtNewStream(Handle text, TextStream** outStream);

/* Allocates a new handle of `size` bytes (not cleared) and a stream over it.
   Returns 0; 0x4101 for a null out reference; the memory manager's last error
   (0x4603 if none was recorded) when no handle comes; or TxtNewStream's code
   (the new handle is disposed of again). */
OKR_API ErrCode TxtNewEmptyStream(uint32_t size, TextStream** outStream);

/* Unlocks the handle and clears `pos`, `end`, `line`, `token`, `size` and
   bit 0 of `flags`; the handle stays. Returns 0; 0x4101 for a null stream;
   0x4107 for a stream without handle. Releasing twice is harmless. */
OKR_API ErrCode TxtReleaseStream(TextStream* stream);

/* Releases the stream, resizes its handle to `newSize` and sets the stream
   up again at the start of the text. Returns 0; 0x4101; 0x4107; the memory
   manager's last error after a failed resize (the stream stays released);
   or TxtInitStream's code. */
OKR_API ErrCode TxtResizeStream(TextStream* stream, uint32_t newSize);

/* Disposes of the text handle (locked or not; its result is ignored) and
   the record, and sets *streamRef to null. Returns 0; 0x4101 for a null
   reference or stream; 0x4107 for a stream without handle. */
OKR_API ErrCode TxtDisposeStream(TextStream** streamRef);

/* ---- Scanning: 1 done, 0 nothing here (a line end, a comment, the end of
   the text, a released or null stream alike) ------------------------------ */

/* Reads the next token of the current line into `buffer` (cleared over all
   of `bufferSize` first), NUL-terminated, and moves `pos` behind what was
   copied; `token` marks the token's first byte. A token of `bufferSize` or
   more bytes is delivered in pieces of `bufferSize` - 1. Returns 1; or 0 with
   an empty buffer and `pos` unmoved at a line end, a comment or the end of
   the text. A token that runs to the end of the text is returned only when
   it has at least 2 bytes. A `bufferSize` below 2 is refused: 0, and the
   buffer is not touched (a size of 1 could only return empty tokens). */
OKR_API int32_t TxtNextToken(TextStream* stream, char* buffer, int32_t bufferSize);

/* Steps `pos` over the token that starts at `pos`. Returns 1; or 0 with
   `pos` unchanged when the token runs to the end of the text (an unclosed
   quote, or a plain token that reaches `end`). */
OKR_API int32_t TxtSkipToken(TextStream* stream);

/* The first CR or LF at or after `pos` and before `end`; `end` - 1 when there
   is none; `pos` - 1 when `pos` is at or beyond `end`; NULL for a null `pos`
   (a released stream's). */
OKR_API char* TxtFindLineEnd(const char* pos, const char* end);

/* Moves `pos` and `line` to the first byte of the next line that holds
   something: runs of line ends are skipped, and so are comment lines (first
   byte ';' or '/'). Returns 1; or 0 at the end of the text, leaving `pos`
   and `line`. */
OKR_API int32_t TxtNextLine(TextStream* stream);

/* Reads tokens and lines from the cursor on until a token, stripped of its
   quotes, equals `keyword` (case-sensitive). *outCount receives the number
   of tokens passed over (comment and empty lines add nothing). Returns 1
   with `pos` behind the keyword; or 0 at the end of the text (or for a null
   argument; *outCount is 0 then when it can be written). Tokens are compared
   in pieces of at most 254 bytes. The search never goes back: a keyword
   before the cursor (and any keyword after a search that failed) is found
   only from the top again: set `pos` back to the text's first byte
   (`handle->data`, which stays put while the stream holds it locked). */
OKR_API int32_t TxtFindKeyword(TextStream* stream, const char* keyword, uint32_t* outCount);

/* Drops a leading double quote or '<' and everything from the matching
   closing byte on, in place. Any other string is left alone. Returns
   `string`. */
OKR_API char* TxtStripQuotes(char* string);

/* Reads the next token (TxtNextToken) into `buffer` and strips its quotes.
   Returns 0; or 0x4105 when no token is on the cursor's line (the buffer is
   then empty, or untouched for a released or null stream or a `bufferSize`
   below 2). */
OKR_API ErrCode TxtReadString(TextStream* stream, char* buffer, int32_t bufferSize);

/* Where the stream's `token` stands: its 1-based line (CR LF, LF and CR each
   end a line) and 1-based column in bytes, so a caller can report
   "file:line:column" for a field that failed. After a field whose evaluation
   failed (ExprEvaluate, TxtReadValue, TxtReadInt), and while the stream's
   `pos` and `token` stay where that left them and no evaluation of another
   stream has failed since (one failure is kept), it is the place of the token
   the evaluator failed at instead: the operand or operator where a value was
   missing or not allowed, the operator whose operation failed (a division
   by zero), or for unbalanced parentheses the first ")" that closes nothing,
   else the innermost "(" left open; `pos` and `token` themselves are not
   changed. Returns 0; 0x4101 for a null argument; 0x4107 for a released
   stream. */
OKR_API ErrCode TxtGetLocation(const TextStream* stream, uint32_t* outLine, uint32_t* outColumn);

OKR_END_DECLS

#endif
