// Where an evaluation went wrong, kept for TxtGetLocation.
//
// The evaluator works on the token buffer, which holds no text positions, and
// it must leave the stream's `pos` and `token` where the tokenizer put them.
// So the evaluator notes the token at which it failed, ExprEvaluate finds
// where that token's text starts (a cost only an error pays), and keeps the
// place tied to the stream and to the `pos` and `token` it left: as long as
// neither has moved, TxtGetLocation reports the failing token instead of the
// tokenizer's last character.
#ifndef OKR_TEXT_ERRORSPOT_H
#define OKR_TEXT_ERRORSPOT_H

#include <okr/expr.h>
#include <okr/txt.h>

// The token at which the evaluator found its error (an operand it could not
// take, or the operator whose operation failed); every failing evaluation
// sets it, and ExprEvaluate sets it to the unmatched parenthesis when the
// tokenizer finds them unbalanced.
extern const ExprToken* exprErrorToken;

// The ")" at which the last successful evaluation ended without reaching the
// end of its token list (a ")" that closes nothing; the rest of the list was
// not looked at), or null when the evaluation ended at the end of the list.
extern const ExprToken* exprUnusedToken;

// Where the text of `token`, an entry of the token buffer, begins in the
// expression that starts at `start` in `stream`.
const char* ExprPlaceOfToken(TextStream* stream, char* start, const ExprToken* token);

// The failure that TxtGetLocation reports for `stream` while the stream's
// `pos` and `token` still read `pos` and `token`.
struct TxtErrorSpot {
  const TextStream* stream;
  const char* pos;
  const char* token;
  const char* at;
};
extern TxtErrorSpot txtErrorSpot;

#endif
