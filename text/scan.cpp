// Scanning a text stream: tokens, line ends, lines, quotes and string
// fields. Every scan is bounded by the stream's `end`.
#include <okr/err.h>
#include <okr/txt.h>

#include <string.h>

#include "core/steps.h"
#include "text/chars.h"

using okr_text::IsBlank;
using okr_text::IsCommentLineStart;
using okr_text::IsIdentByte;
using okr_text::IsLineEnd;

char* TxtFindLineEnd(const char* pos, const char* end) {
  if (pos == nullptr) return nullptr;  // a released stream's pos: no text
  if (pos >= end) return const_cast<char*>(pos - 1);
  for (const char* p = pos; p < end; ++p) {
    if (IsLineEnd(*p)) return const_cast<char*>(p);
  }
  return const_cast<char*>(end - 1);
}

int32_t TxtNextLine(TextStream* stream) {
  if (stream == nullptr || stream->pos == nullptr) return 0;
  const char* end = stream->end;
  char* q = stream->pos;
  for (;;) {
    q = TxtFindLineEnd(q, end) + 1;
    while (q < end && IsLineEnd(*q))
      ++q;
    if (q >= end) return 0;
    if (!IsCommentLineStart(*q)) break;
  }
  stream->line = q;
  stream->pos = q;
  return 1;
}

// The position behind the token whose first byte is `first` (before
// `end`), or null when the token runs to `end`: a quoted token without its
// closing byte, or a plain token whose identifier bytes reach `end`.
static char* TokenEnd(char* first, const char* end) {
  if (*first == '"' || *first == '<') {
    // Quoted: through the first closing byte.
    const char closing = *first == '"' ? '"' : '>';
    for (char* q = first + 1; q < end; ++q) {
      if (*q == closing) {
        OKR_STEP(stepTokenByte, q - first);
        return q + 1;
      }
    }
    OKR_STEP(stepTokenByte, end - first);
    return nullptr;
  }
  // Plain: the first byte belongs to the token, whatever it is.
  if (first + 1 >= end) return nullptr;
  char* q = first + 1;
  while (q < end && IsIdentByte(*q))
    ++q;
  OKR_STEP(stepTokenByte, q - first);
  if (q >= end) return nullptr;
  // q > first + 1 when the second byte is an identifier byte; '/' is none.
  return (first[0] == '/' && first[1] == '/') ? first + 2 : q;
}

int32_t TxtSkipToken(TextStream* stream) {
  if (stream == nullptr || stream->pos == nullptr) return 0;
  if (stream->pos >= stream->end) return 0;
  char* behind = TokenEnd(stream->pos, stream->end);
  if (behind == nullptr) return 0;
  stream->pos = behind;
  return 1;
}

int32_t TxtNextToken(TextStream* stream, char* buffer, int32_t bufferSize) {
  if (stream == nullptr || stream->pos == nullptr) return 0;
  // Below 2 bytes no token fits; such buffers are refused untouched.
  if (buffer == nullptr || bufferSize < 2) return 0;
  memset(buffer, 0, static_cast<size_t>(bufferSize));
  const char* end = stream->end;
  char* p = stream->pos;
  while (p < end && IsBlank(*p))
    ++p;
  if (p >= end || IsLineEnd(*p)) return 0;
  if (*p == ';' || (*p == '/' && p + 1 < end && p[1] == '/')) return 0;
  stream->token = p;
  stream->pos = p;
  // The scan stops one byte past what the buffer holds: a token that goes on
  // beyond that, closed or not, gives bufferSize - 1 bytes either way, and
  // scanning it to its end for every piece would read a long token in
  // quadratic time.
  const char* scanEnd = end - p > bufferSize ? p + bufferSize : end;
  const char* behind = TokenEnd(p, scanEnd);
  ptrdiff_t length = (behind != nullptr ? behind : scanEnd) - p;
  // A token that runs to the end of the text in a single byte is lost.
  if (behind == nullptr && length < 2) return 0;
  if (length >= bufferSize) length = bufferSize - 1;
  memcpy(buffer, p, static_cast<size_t>(length));
  stream->pos = p + length;
  return 1;
}

char* TxtStripQuotes(char* string) {
  if (string == nullptr) return string;
  char closing;
  if (string[0] == '"') {
    closing = '"';
  } else if (string[0] == '<') {
    closing = '>';
  } else {
    return string;
  }
  char* cut = strchr(string + 1, closing);
  if (cut == nullptr) cut = string + strlen(string);
  *cut = '\0';
  memmove(string, string + 1, static_cast<size_t>(cut - string));
  return string;
}

ErrCode TxtReadString(TextStream* stream, char* buffer, int32_t bufferSize) {
  if (!TxtNextToken(stream, buffer, bufferSize)) return errIncompleteToken;
  TxtStripQuotes(buffer);
  return errNone;
}
