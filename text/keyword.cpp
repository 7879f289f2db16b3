// Searching a text stream for a keyword token.
#include <okr/txt.h>

#include <string.h>

int32_t TxtFindKeyword(TextStream* stream, const char* keyword, uint32_t* outCount) {
  if (outCount != nullptr) *outCount = 0;
  if (stream == nullptr || keyword == nullptr || outCount == nullptr) return 0;
  // Tokens longer than 254 bytes are compared piece by piece.
  char token[256];
  for (;;) {
    if (TxtNextToken(stream, token, sizeof token - 1)) {
      if (strcmp(TxtStripQuotes(token), keyword) == 0) return 1;
      ++*outCount;
    } else if (!TxtNextLine(stream)) {
      return 0;
    }
  }
}
