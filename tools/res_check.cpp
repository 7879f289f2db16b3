// okr res check: the library's verdict on a resource file and, in words,
// what it found: every problem of a damaged file (the first few of each
// kind, unless --all), or for a sound one its notes, after every resource
// has been read. The findings are ResCheckFile's, the checks opening makes.
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "cli.h"
#include "command.h"
#include "res_file.h"

namespace okr_tool {

namespace {

// Findings of one kind shown before the rest are counted.
constexpr uint32_t kShownPerKind = 3;

// Which of a finding's naming words a kind uses: JSON leaves out the rest
// rather than showing zeros that read as type 0, resource 0.
enum : uint8_t {
  kNamesIndex = 1,      // index (for the type records: the type count)
  kNamesType = 2 | 1,   // typeId and index
  kNamesOther = 4 | 3,  // also what the piece overlaps
};

// Each kind's name in JSON and, in the plural, for the count of those not
// shown.
struct KindName {
  uint32_t kind;
  const char* json;
  const char* plural;
  uint8_t names = 0;
};
constexpr KindName kKindNames[] = {
    {resCheckShortFile, "short-file", "such findings"},
    {resCheckVersion, "version", "such findings"},
    {resCheckDirTooShort, "directory-too-short", "such findings"},
    {resCheckDirPastEnd, "directory-past-end", "such findings"},
    {resCheckCopyVersion, "copy-version", "such findings"},
    {resCheckCopyLength, "copy-length", "such findings"},
    {resCheckDirWalk, "directory-walk", "such findings"},
    {resCheckDataInHeader, "data-in-header", "such findings"},
    {resCheckDataPastEnd, "data-past-end", "such findings"},
    {resCheckDirInData, "directory-in-data", "such findings"},
    {resCheckTypeList, "type-list", "such findings"},
    {resCheckTypeRecords, "type-records", "such findings", kNamesIndex},
    {resCheckEntryArray, "entries-outside", "entry arrays outside the directory", kNamesType},
    {resCheckEntryOverlap, "entries-overlap", "overlapping entry arrays", kNamesOther},
    {resCheckOutsideData, "outside-data", "resources outside the data area", kNamesType},
    {resCheckOverlap, "overlap", "overlapping resources", kNamesOther},
    {resCheckHeaderCopy, "header-copy", "such notes"},
    {resCheckGaps, "gaps", "such notes"},
    {resCheckTrailing, "trailing", "such notes"},
};

const KindName& NameOf(uint32_t kind) {
  for (const KindName& k : kKindNames) {
    if (k.kind == kind) return k;
  }
  static const KindName unknown{0, "unknown", "such findings"};
  return unknown;
}

std::string Bytes(uint64_t n) {
  return Count(n, "byte");
}

// "(30 bytes at 10)".
std::string Place(uint32_t size, uint32_t offset) {
  return Format("(%s at %u)", Bytes(size).c_str(), offset);
}

std::string Entries(uint32_t n) {
  return Format("%u %s", n, n == 1 ? "entry" : "entries");
}

// "lies" for one entry, "lie" for more: the verb after Entries(n).
const char* Verb(uint32_t n, const char* one, const char* more) {
  return n == 1 ? one : more;
}

// The finding in words.
std::string Describe(const ResFinding& f) {
  const std::string piece = Place(f.size, f.offset);
  switch (f.kind) {
    case resCheckShortFile:
      return "the file has " + Bytes(f.size) + ", fewer than a header's 32";
    case resCheckVersion:
      return Format("the version word reads 0x%08X, 0x100 in neither byte order", f.value);
    case resCheckDirTooShort:
      return "the directory " + piece + " is shorter than its 52-byte fixed part";
    case resCheckDirPastEnd:
      return "the directory " + piece + " runs past the end of the file (" + Bytes(f.value) + ")";
    case resCheckCopyVersion:
      return Format("the directory's copy of the header has the version word 0x%08X", f.value);
    case resCheckCopyLength:
      return Format("the directory's copy of the header gives its length as %u, the header as %u",
                    f.value, f.size);
    case resCheckDirWalk:
      return "an offset or count of the directory " + piece + " points outside it";
    case resCheckDataInHeader:
      return "the data area " + piece + " starts inside the 32-byte header";
    case resCheckDataPastEnd:
      return "the data area " + piece + " runs past the end of the file (" + Bytes(f.value) + ")";
    case resCheckDirInData:
      return "the directory " + piece + " overlaps the data area " +
             Place(f.otherSize, f.otherOffset);
    case resCheckTypeList:
      return Format(
          "the type list's offset %u lies outside the directory (%s), over its fixed "
          "part or off a word",
          f.offset, Bytes(f.value).c_str());
    case resCheckTypeRecords:
      return Format("%u type records do not fit in the %s of the directory", f.index,
                    Bytes(f.value).c_str());
    case resCheckEntryArray:
      return Format(
          "the %s of type %s (at %u from the type list) %s outside the directory's "
          "entry area",
          Entries(f.size).c_str(), TypeChars(f.typeId).c_str(), f.offset,
          Verb(f.size, "lies", "lie"));
    case resCheckEntryOverlap:
      return Format("the %s of type %s %s the %s of type %s", Entries(f.size).c_str(),
                    TypeChars(f.typeId).c_str(), Verb(f.size, "overlaps", "overlap"),
                    Entries(f.otherSize).c_str(), TypeChars(f.otherTypeId).c_str());
    case resCheckOutsideData:
      return ResourceName(f.typeId, f.index) + " " + piece + " lies outside the data area (" +
             Bytes(f.value) + ")";
    case resCheckOverlap:
      return ResourceName(f.typeId, f.index) + " " + piece + " overlaps " +
             ResourceName(f.otherTypeId, f.otherIndex) + " " + Place(f.otherSize, f.otherOffset);
    case resCheckHeaderCopy:
      return "the header at offset 0 differs from the directory's copy, which counts";
    case resCheckGaps:
      return Bytes(f.value) + " of the data area lie in gaps (okr res compact packs them)";
    case resCheckTrailing:
      return Bytes(f.size) +
             " of the file lie outside its data area and directory (okr res compact cuts them)";
    default:
      return Format("a finding of kind %u", f.kind);
  }
}

// What ResCheckFile found in the file `name`, and its verdict.
struct Report {
  ErrCode verdict;
  std::vector<ResFinding> findings;
};

Report CheckFile(const std::string& name) {
  if (IsDirectory(name)) FailDirectory(name);
  Handle list = nullptr;
  ClearOsError();
  const ErrCode verdict = ResCheckFile(LibraryPath(name).c_str(), &list);
  if (list == nullptr) FailFile(name, verdict);
  const auto* first = static_cast<const ResFinding*>(list->data);
  Report report{verdict, {first, first + MemGetHandleSize(list) / sizeof(ResFinding)}};
  if (ErrCode err = MemDisposeHandle(list)) Fail(name, err);
  return report;
}

// The findings of one side (problems or notes), as lines "PREFIX TEXT";
// unless `all`, the first kShownPerKind of each kind and then a count of
// the rest.
void PrintFindings(const std::vector<ResFinding>& findings, bool problems, bool all,
                   const std::string& prefix) {
  std::map<uint32_t, uint32_t> seen;
  for (const ResFinding& f : findings) {
    if ((f.kind < resCheckNotes) != problems) continue;
    if (all || ++seen[f.kind] <= kShownPerKind) {
      std::printf("%s%s\n", prefix.c_str(), Describe(f).c_str());
    }
  }
  for (const auto& [kind, count] : seen) {
    if (count <= kShownPerKind) continue;
    std::printf("%s... and %u more %s (okr res check --all lists every one)\n", prefix.c_str(),
                count - kShownPerKind, NameOf(kind).plural);
  }
}

void PrintJson(const std::string& name, const Report& report, const std::string& summary) {
  std::printf("{\n  \"file\": %s,\n  \"accepted\": %s,\n  \"code\": %u,\n",
              Json(Utf8Name(name), true).c_str(), report.verdict == errNone ? "true" : "false",
              report.verdict);
  std::printf("%s  \"findings\": [", summary.c_str());
  const char* separator = "\n";
  for (const ResFinding& f : report.findings) {
    std::printf("%s    {\"kind\": \"%s\", \"problem\": %s, \"text\": %s, ", separator,
                NameOf(f.kind).json, f.kind < resCheckNotes ? "true" : "false",
                Json(Describe(f), false).c_str());
    const uint8_t names = NameOf(f.kind).names;
    if ((names & kNamesType) == kNamesType)
      std::printf("\"typeHex\": \"%s\", ", TypeHex(f.typeId).c_str());
    if (names & kNamesIndex) std::printf("\"index\": %u, ", f.index);
    std::printf("\"offset\": %u, \"size\": %u, \"value\": %u", f.offset, f.size, f.value);
    if ((names & kNamesOther) == kNamesOther) {
      std::printf(
          ", \"otherTypeHex\": \"%s\", \"otherIndex\": %u, \"otherOffset\": %u, \"otherSize\": %u",
          TypeHex(f.otherTypeId).c_str(), f.otherIndex, f.otherOffset, f.otherSize);
    }
    std::printf("}");
    separator = ",\n";
  }
  std::printf("%s]\n}\n", report.findings.empty() ? "" : "\n  ");
}

// Loads every resource once; a failure ends the program.
void ReadEveryResource(const ResFile& res, const std::vector<ResInfo>& resources) {
  Progress progress("checking " + res.name, resources.size());
  for (size_t i = 0; i < resources.size(); ++i) {
    progress.Update(i);
    Handle data = nullptr;
    const ResInfo& r = resources[i];
    ClearOsError();
    if (ErrCode err = ResLoadResource(res.file, r.typeId, r.index, &data)) {
      const std::string what = ResourceName(r.typeId, r.index);
      std::printf("%s: %s cannot be read\n", res.name.c_str(), what.c_str());
      Fail(res.name + ": " + what, err, OsReason());
    }
    if (ErrCode err = ResReleaseResource(data)) Fail(res.name, err);
  }
}

int Check(const Args& args) {
  const std::string& name = args.positionals[0];
  const bool json = args.Has("--json");
  // The findings: at most two per type record (12 bytes) or per entry (24),
  // so four per entry's bytes of directory; the list doubles as it grows,
  // its old block living beside the new one.
  StartForDirectory(name, 3 * 4 * sizeof(ResFinding));
  const Report report = CheckFile(name);
  if (report.verdict != errNone) {
    if (json) {
      PrintJson(name, report, "");
    } else {
      PrintFindings(report.findings, true, args.Has("--all"), name + ": ");
    }
    Fail(name, report.verdict);
  }
  // The library accepts the file: every resource must read as well.
  ResFile res = OpenResFile(name, false);
  const std::vector<ResInfo> resources = ListResources(res);
  uint64_t largest = 0;
  for (const ResInfo& r : resources)
    largest = std::max<uint64_t>(largest, r.dataSize);
  // One resource is read at a time.
  RestartFor(res, largest, false);
  ReadEveryResource(res, resources);
  const uint32_t types = CountTypes(res);
  if (json) {
    PrintJson(name, report,
              Format("  \"byteOrder\": \"%s\",\n  \"native\": %s,\n  \"resources\": %zu,\n"
                     "  \"types\": %u,\n  \"dataBytes\": %s,\n",
                     OrderName(res.order), res.order == NativeOrder() ? "true" : "false",
                     resources.size(), types, std::to_string(DataInUse(resources)).c_str()));
  } else {
    std::printf("%s: ok: %s in %s, %s of data, %s%s\n", name.c_str(),
                Count(resources.size(), "resource").c_str(), Count(types, "type").c_str(),
                Bytes(DataInUse(resources)).c_str(), OrderName(res.order),
                res.order == NativeOrder() ? " (native)" : "");
    PrintFindings(report.findings, false, true, "  ");
  }
  CloseRead(res);
  return 0;
}

}  // namespace

const CommandSpec kResCheck{
    "res check",
    kResGroup,
    "FILE",
    1,
    1,
    {{"--all", nullptr, "list every problem, not the first few of each kind"},
     {"--json", nullptr,
      "the verdict and every finding as one JSON object: file,\n"
      "accepted, code (0 or the library's), findings, a list of {kind,\n"
      "problem, text, offset, size, value} (typeHex and index for\n"
      "a resource or an entry array, otherTypeHex, otherIndex,\n"
      "otherOffset and otherSize for an overlap), and for an\n"
      "accepted file byteOrder, native, resources, types and\n"
      "dataBytes"}},
    "say what is wrong, changing nothing",
    R"(Checks the resource file FILE without changing it, with the checks the library
makes before it opens a file. A file the library accepts must also have every
resource read; okr then prints a summary and notes (bytes in gaps, bytes
behind the file's contents). A file it refuses gets one line per problem
(a piece that runs past the end of the file, a version word in neither byte
order, offsets outside the directory, resources outside the data area or
overlapping), the first few of each kind and a count of the rest, then the
library's code.
)",
    "",
    Check};

}  // namespace okr_tool
