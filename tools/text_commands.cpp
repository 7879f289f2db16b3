// okr get, eval and tokens: settings files and expressions through the text
// stream and the evaluator.
#include <climits>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "command.h"

namespace okr_tool {

namespace {

// A stream over the whole file `name`.
TextStream* StreamOverFile(const std::string& name) {
  Handle text = LoadWholeFile(name);
  TextStream* stream = nullptr;
  if (ErrCode err = TxtNewStream(text, &stream)) Fail(name, err);
  return stream;
}

// "NAME:LINE:COLUMN" of the stream's token (or of the token an evaluation
// failed at).
std::string Where(const std::string& name, const TextStream* stream) {
  uint32_t line = 0, column = 0;
  if (TxtGetLocation(stream, &line, &column) != errNone) return name;
  return Format("%s:%u:%u", name.c_str(), line, column);
}

// "NAME:LINE:COLUMN" of byte `at` of `text` (CR LF, LF and CR each end a
// line), as TxtGetLocation counts them; NAME alone for a failure that has
// no place (UINT32_MAX).
std::string Where(const std::string& name, const std::string& text, uint32_t at) {
  if (at == UINT32_MAX) return name;
  uint32_t line = 1, lineStart = 0;
  for (uint32_t i = 0; i < at && i < text.size(); ++i) {
    const bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    if ((text[i] == '\n' || text[i] == '\r') && !crlf) {
      ++line;
      lineStart = i + 1;
    }
  }
  return Format("%s:%u:%u", name.c_str(), line, at - lineStart + 1);
}

// What a failure at a one-byte token that ends a text without a line end
// is owed to: the text stream loses such a token (a name, a string, a
// keyword), so a field that needs it fails as if it were not there.
const char kLostToken[] =
    "the last line has no line end, and the token of one byte that ends the text is lost";

// Whether the text of `stream` ends, without a line end, in a token of one
// byte: a byte other than a blank, a comma or a line end, after a byte
// that is no identifier byte (or none).
bool EndsInLostToken(const TextStream* stream) {
  if (stream->end == nullptr || stream->size == 0) return false;
  const auto last = static_cast<signed char>(stream->end[-1]);
  if (last <= ' ' || last == ',') return false;
  if (stream->size == 1) return true;
  // NUL is an identifier byte too: strchr finds the terminator.
  const char before = stream->end[-2];
  const bool letterOrDigit = (before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z') ||
                             (before >= '0' && before <= '9');
  return !letterOrDigit && std::strchr("\"'<>#$%.@_", before) == nullptr;
}

// Whether the failure of a field of the file `name` lies at the one-byte
// token that ends its text without a line end (see kLostToken).
bool FailedAtLostToken(const std::string& name, const TextStream* stream) {
  if (!EndsInLostToken(stream)) return false;
  const std::string text(stream->end - stream->size, stream->size);
  return Where(name, stream) == Where(name, text, stream->size - 1);
}

// Ends the program for a field of the file `name` that failed with `err`,
// at its place, saying when the cause is the token the end of the text lost.
[[noreturn]] void FailField(const std::string& name, const TextStream* stream, ErrCode err) {
  if (FailedAtLostToken(name, stream)) Fail(Where(name, stream), err, kLostToken);
  Fail(Where(name, stream), err);
}

// The value of the argument `text`, which must be one expression. A value
// that does not evaluate is a mistake in the command line (status 2) for a
// -D definition, named `what`, and a failure (status 1) of an expression to
// evaluate, named with its line and column.
ExprValue EvaluateArgument(const std::string& text, const std::string& what, bool definition) {
  ExprValue value;
  uint32_t at = UINT32_MAX;
  const ErrCode err =
      ExprEvaluateText(text.data(), static_cast<uint32_t>(text.size()), &value, &at);
  if (err != errNone && definition) UsageFail(what, err);
  if (err != errNone) Fail(Where(what, text, at), err);
  return value;
}

// Defines the -D variables in a new table, installed for the evaluator. Each
// value is an expression (earlier variables included); its result's type is
// the variable's.
void DefineVariables(const std::vector<std::string>& definitions) {
  SymbolTable* table = nullptr;
  if (ErrCode err = SymNewTable(&table)) Fail("variables", err);
  exprSymbolTable = table;
  for (const std::string& definition : definitions) {
    const std::string what = "-D " + definition;
    const size_t equals = definition.find('=');
    if (equals == std::string::npos) UsageFail(what, errMissingParameter, "no '=VALUE' after NAME");
    const std::string name = definition.substr(0, equals);
    const std::string text = definition.substr(equals + 1);
    // A quoted string, as a settings file writes one, is no expression: said
    // so, rather than what the evaluator makes of the word inside.
    const size_t first = text.find_first_not_of(" \t");
    if (first != std::string::npos && (text[first] == '"' || text[first] == '<'))
      UsageFail(what, errBadData, "a variable's value is a number, not a string");
    const ExprValue value = EvaluateArgument(text, what, true);
    const ErrCode err = value.type == ExprTypeFloat
                            ? SymAddFloat(&table, name.c_str(), value.value.f)
                            : SymAddInt(&table, name.c_str(), value.value.i);
    // A name the tokenizer could never read is the command line's mistake.
    if (err == errInvalidVariable || err == errNilPointer)
      UsageFail(what, err, "a NAME is 1 to 31 bytes, a letter or one of []_`{ first");
    if (err != errNone) Fail(what, err);
  }
}

// The value as the commands print it: "640", "3.5".
std::string ValueText(const ExprValue& value) {
  return value.type == ExprTypeFloat ? FormatFloat(value.value.f) : std::to_string(value.value.i);
}

// Whether the field at the cursor is a quoted string: a double quote, or a
// '<' closed by a '>' on the same line (else '<' is an operator).
bool IsQuotedField(const TextStream* stream) {
  const char* p = stream->pos;
  while (p < stream->end && (*p == ' ' || *p == '\t'))
    ++p;
  if (p == stream->end) return false;
  if (*p == '"') return true;
  if (*p != '<') return false;
  for (++p; p < stream->end && *p != '\n' && *p != '\r'; ++p) {
    if (*p == '>') return true;
  }
  return false;
}

// Bytes outside printable ASCII as \xNN.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte > 0x7E ? Format("\\x%02X", byte) : std::string(1, c);
  }
  return out;
}

// The string field at the cursor, with a warning when it runs over more
// than one line: a quote left open takes the following lines in.
std::string ReadStringField(const std::string& name, TextStream* stream) {
  // Room for the longest token the text can hold.
  std::string buffer(static_cast<size_t>(stream->size) + 2, '\0');
  const auto size = static_cast<int32_t>(buffer.size() < INT32_MAX ? buffer.size() : INT32_MAX);
  if (ErrCode err = TxtReadString(stream, buffer.data(), size)) FailField(name, stream, err);
  const std::string value = buffer.c_str();
  size_t lines = 1;
  for (size_t i = 0; i < value.size(); ++i) {
    // CR LF is one line end.
    if (value[i] == '\n' || (value[i] == '\r' && (i + 1 == value.size() || value[i + 1] != '\n')))
      ++lines;
  }
  if (lines > 1) {
    // The stream's token is the quoted token, from its opening quote.
    Warn(Where(name, stream),
         Format("the value runs over %zu lines: is its closing quote missing?", lines));
  }
  return value;
}

// `text` as printed to standard output: on Windows that stream is in text
// mode and writes each LF as CR LF, so a value from a file with CR LF line
// ends is given LF ones first (else its lines would end in CR CR LF).
std::string ForTextOutput(std::string text) {
#ifdef _WIN32
  size_t kept = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') text[kept++] = text[i];
  }
  text.resize(kept);
#endif
  return text;
}

// Whether `key` holds a byte that ends an unquoted token, so that only a
// quoted one can equal it ("größe" unquoted is read as "gr" and "e").
bool HasSeparator(const std::string& key) {
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == ',' || byte >= 0x80) return true;
  }
  return false;
}

// "FILE:LINE:COLUMN" of the first quoted token of the file `name` that runs
// over more than one line, or "" when none does: a quote left open takes in
// the lines after it, and the keywords on them with them.
std::string FirstLongString(const std::string& name) {
  TextStream* stream = StreamOverFile(name);
  std::string buffer(static_cast<size_t>(stream->size) + 2, '\0');
  const auto size = static_cast<int32_t>(buffer.size() < INT32_MAX ? buffer.size() : INT32_MAX);
  do {
    while (TxtNextToken(stream, buffer.data(), size)) {
      if (std::strpbrk(buffer.c_str(), "\r\n") != nullptr) return Where(name, stream);
    }
  } while (TxtNextLine(stream));
  return "";
}

// Whether the stream's text begins with a UTF-16 byte-order mark, as
// Notepad's "Unicode" saves it: every other byte is then a NUL, which the
// stream takes into its tokens, so no field reads as written.
bool IsUtf16(const TextStream* stream) {
  const char* text = stream->end - stream->size;
  return stream->size >= 2 &&
         ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'));
}

int Get(const Args& args) {
  const std::string& name = args.positionals[0];
  const std::string& key = args.positionals[1];
  StartLibrary(InputSizeOf(name));
  DefineVariables(args.Values("-D"));
  TextStream* stream = StreamOverFile(name);
  if (IsUtf16(stream)) {
    Fail(name, errBadData,
         "UTF-16 text, which the text stream reads byte by byte: save it as UTF-8 or ANSI");
  }
  uint32_t passed = 0;
  if (!TxtFindKeyword(stream, key.c_str(), &passed)) {
    const std::string open = FirstLongString(name);
    const std::string what = name + ": keyword '" + key + "' not found";
    if (!open.empty()) {
      Fail(what, errNoSuchVariable,
           "the string at " + open + " runs over several lines and may hide it");
    }
    if (key.size() == 1 && EndsInLostToken(stream) && stream->end[-1] == key[0]) {
      Fail(what, errNoSuchVariable, kLostToken);
    }
    if (HasSeparator(key)) {
      Fail(what, errNoSuchVariable,
           "only a quoted token holds a blank, a comma, a control byte or a byte above 0x7F");
    }
    Fail(what, errNoSuchVariable);
  }
  const bool asString =
      args.Has("--string") || (!args.Has("--int") && !args.Has("--float") && IsQuotedField(stream));
  if (asString) {
    std::printf("%s\n", ForTextOutput(ReadStringField(name, stream)).c_str());
    return 0;
  }
  ExprValue value;
  if (ErrCode err = TxtReadValue(stream, &value)) FailField(name, stream, err);
  if (args.Has("--int")) {
    int32_t n = 0;
    TxtValueToInt(&value, &n);  // always 0
    value = ExprValue{ExprTypeInt, {n}};
  }
  if (args.Has("--float")) ExprToFloat(&value);
  std::printf("%s\n", ValueText(value).c_str());
  return 0;
}

int Eval(const Args& args) {
  const std::string& expression = args.positionals[0];
  StartLibrary(expression.size());
  DefineVariables(args.Values("-D"));
  const ExprValue value = EvaluateArgument(expression, "eval", false);
  uint32_t bits;
  std::memcpy(&bits, &value.value, sizeof bits);
  std::printf("%s %s 0x%08X\n", ValueText(value).c_str(),
              value.type == ExprTypeFloat ? "float" : "int", bits);
  return 0;
}

int Tokens(const Args& args) {
  const std::string& name = args.positionals[0];
  StartLibrary(InputSizeOf(name));
  TextStream* stream = StreamOverFile(name);
  std::string buffer(static_cast<size_t>(stream->size) + 2, '\0');
  const auto size = static_cast<int32_t>(buffer.size() < INT32_MAX ? buffer.size() : INT32_MAX);
  do {
    std::string line;
    uint32_t number = 0, column = 0;
    while (TxtNextToken(stream, buffer.data(), size)) {
      if (line.empty() && TxtGetLocation(stream, &number, &column) != errNone) {
        Fail(name, errBadData);
      }
      // The bytes copied, up to where the stream moved: a NUL in the text
      // is part of the token, not its end.
      const auto copied = static_cast<size_t>(stream->pos - stream->token);
      line += " [" + Printable(buffer.substr(0, std::min(copied, buffer.size() - 1))) + "]";
    }
    if (!line.empty()) std::printf("%u:%s\n", number, line.c_str());
  } while (TxtNextLine(stream));
  return 0;
}

// How expressions group, for the helps of get and eval.
const char* const kGrouping =
    R"(Operators of one level group from the right: 1000 - 200 - 300 is
1000 - (200 - 300) = 1100, 100 / 10 / 2 is 100 / (10 / 2) = 20.0, and
comparisons share the level of + and -, so 2 + 2 == 4 is 2 + (2 == 4) = 2.
Write the parentheses: (1000 - 200) - 300 is 500, (2 + 2) == 4 is 1. '*',
'/', '\', '&', '<<' and '>>' bind tighter than the rest. Integers are 32-bit
and wrap; '/' always gives a float; '\' is the integer remainder; '&' is
exclusive-or, as '^' is (there is no bitwise and).
)";

const std::string kGetDetails =
    std::string(
        R"(Finds the keyword KEY in the settings file FILE (- for standard input) and
prints the field behind it. KEY is the first token equal to it
(case-sensitive, quotes stripped), wherever it stands, as a program's lookup
finds it: not only a line's first word, so in "width screenWidth / 2" the
KEY screenWidth is followed by "/ 2", a syntax error. A field that begins
with a double quote, or with '<' closed on the same line, is read as a
string (quotes stripped); any other field is evaluated as an expression and
printed as an integer or a float (with a decimal point). A quoted string may
run over several lines, as the text stream allows; okr then warns on stderr,
at the opening quote, since a closing quote is likely missing.

get reads the first field behind KEY and leaves the rest of the line, as a
program reading the file does: a line may hold several fields ("size 640,
480", or "size 640 480"), so "a 1 2" gives 1. eval takes its argument as one
field, and there anything after the expression is a syntax error.

)") +
    kGrouping + R"(
A field that does not evaluate fails with its place,
  okr: FILE:LINE:COLUMN: TEXT (0xCODE)
where COLUMN points at the token the evaluator stopped at. A KEY the file
does not hold fails with 0x4204, the library's code for a name it does not
know, as "FILE: keyword 'KEY' not found", naming the first string that runs
over several lines, if any: its open quote may have taken KEY in.
)";

const std::string kEvalDetails =
    std::string(
        R"(Evaluates the expression EXPR as a settings file's field would be, and prints
its value, its type (int or float) and its 32 bits in hex. EXPR is one field:
anything after the expression is a syntax error (okr get, reading a file,
leaves it for the next field instead). An error names its column:
okr: eval:1:COLUMN: TEXT. Write 'okr eval -- -5' for an expression that
looks like an option.

)") +
    kGrouping;

}  // namespace

const CommandSpec kGet{"get",
                       kTextGroup,
                       "FILE KEY",
                       2,
                       2,
                       {{"--int", nullptr, "evaluate, and truncate a float to an integer", 1},
                        {"--float", nullptr, "evaluate, and convert an integer to a float", 1},
                        {"--string", nullptr, "read the next token as a string", 1},
                        {"-D", "NAME=VALUE",
                         "define a variable for the expressions; VALUE is an expression\n"
                         "itself (earlier variables may appear in it), and its result\n"
                         "makes the variable an integer (1280, $500) or a float (2.0).\n"
                         "A VALUE that does not evaluate is a mistake (status 2).",
                         0, true}},
                       "read the field behind a keyword",
                       kGetDetails.c_str(),
                       "  okr get settings.txt width -D screenWidth=1280\n",
                       Get};

const CommandSpec kEval{"eval",
                        kTextGroup,
                        "EXPR",
                        1,
                        1,
                        {{"-D", "NAME=VALUE", "define a variable, as for okr get", 0, true}},
                        "value, type and bits of an expression",
                        kEvalDetails.c_str(),
                        "  okr eval '($20 + %101) * 2'      74 int 0x0000004A\n"
                        "  okr eval '7 / 2'                 3.5 float 0x40600000\n"
                        "  okr eval '1000 - 200 - 300'      1100 int 0x0000044C\n",
                        Eval};

const CommandSpec kTokens{"tokens",
                          kTextGroup,
                          "FILE",
                          1,
                          1,
                          {},
                          "each line's tokens as the stream reads",
                          R"(Prints, for each line of the settings file FILE that holds tokens, its
number and its tokens in brackets, as the text stream reads them: blanks,
commas, the control bytes from 0x01 and the bytes above 0x7F (UTF-8 letters
among them) separate, ';' and '//' start comments, quoted tokens keep their
quotes. Other bytes outside printable ASCII, and any in quotes, show as \xNN.
A FILE named - is read from standard input.
)",
                          "",
                          Tokens};

}  // namespace okr_tool
