// okr res: create, list, replace, extract, remove, compact and native.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli.h"
#include "command.h"
#include "output.h"
#include "res_file.h"

namespace okr_tool {

namespace {

// Work on files beyond this size is announced on a terminal.
constexpr uint64_t kLargeFile = 16 << 20;

std::string TypeBytes(uint32_t typeId) {
  return std::string(reinterpret_cast<const char*>(&typeId), 4);
}

void PrintListJson(const ResFile& res, const ResFileHeader& h, uint32_t fileFlags,
                   const std::vector<ResInfo>& resources) {
  std::printf("{\n  \"file\": %s,\n  \"byteOrder\": \"%s\",\n  \"native\": %s,\n",
              Json(Utf8Name(res.name), true).c_str(), OrderName(res.order),
              res.order == NativeOrder() ? "true" : "false");
  std::printf("  \"fileSize\": %s,\n", std::to_string(res.fileSize).c_str());
  std::printf("  \"dataStart\": %u,\n  \"dataLength\": %u,\n", h.dataStart, h.dataLength);
  std::printf("  \"dirOffset\": %u,\n  \"dirLength\": %u,\n", h.dirOffset, h.dirLength);
  std::printf("  \"fileFlags\": %u,\n  \"resources\": [", fileFlags);
  const char* separator = "\n";
  for (const ResInfo& r : resources) {
    std::printf("%s    {\"type\": %s, \"typeHex\": \"%s\", \"index\": %u, \"offset\": %u, ",
                separator, Json(TypeBytes(r.typeId), false).c_str(), TypeHex(r.typeId).c_str(),
                r.index, r.dataOffset);
    std::printf("\"size\": %u, \"attributes\": %u}", r.dataSize, r.attributes);
    separator = ",\n";
  }
  std::printf("%s]\n}\n", resources.empty() ? "" : "\n  ");
}

void PrintListText(const ResFile& res, const ResFileHeader& h, uint32_t fileFlags,
                   const std::vector<ResInfo>& resources) {
  const uint32_t types = CountTypes(res);
  std::printf("%s: %s%s, %s, %s in %s\n", res.name.c_str(), OrderName(res.order),
              res.order == NativeOrder() ? " (native)" : "", Count(res.fileSize, "byte").c_str(),
              Count(resources.size(), "resource").c_str(), Count(types, "type").c_str());
  std::printf("  data area  at %u, %u bytes\n", h.dataStart, h.dataLength);
  std::printf("  directory  at %u, %u bytes\n", h.dirOffset, h.dirLength);
  std::printf("  flags      0x%08X\n", fileFlags);
  if (resources.empty()) return;
  std::printf("type  hex         index     offset       size  attributes\n");
  for (const ResInfo& r : resources) {
    std::printf("%-4s  %s %6u %10u %10u  0x%08X\n", TypeChars(r.typeId).c_str(),
                TypeHex(r.typeId).c_str(), r.index, r.dataOffset, r.dataSize, r.attributes);
  }
}

// The resource that FILE TYPE INDEX arguments name.
struct Target {
  std::string file;
  uint32_t typeId;
  uint32_t index;
};

Target ParseTarget(const Args& args) {
  const std::string& index = args.positionals[2];
  return {args.positionals[0], ParseType(args.positionals[1]),
          static_cast<uint32_t>(ParseNumber(index, "index " + index, 0xFFFFFFFFu))};
}

// Fails for the target that the open file does not hold (0x4583), saying
// which indexes its type has, or that the file has no such type.
[[noreturn]] void FailNotFound(const ResFile& res, const Target& t) {
  const uint32_t count = CountResources(res, t.typeId);
  const std::string type = TypeChars(t.typeId);
  const std::string detail =
      count == 0   ? "no resource of type " + type + " ('okr res list " + res.name + "' lists them)"
      : count == 1 ? type + " has 1 resource, #0"
                   : Format("%s has %u resources, #0 to #%u", type.c_str(), count, count - 1);
  Fail(res.name + ": " + ResourceName(t.typeId, t.index), errResNotFound, detail);
}

// The target's data, loaded from the open file.
Handle LoadResource(const ResFile& res, const Target& t) {
  Handle data = nullptr;
  ClearOsError();
  if (ErrCode err = ResLoadResource(res.file, t.typeId, t.index, &data)) {
    if (err == errResNotFound) FailNotFound(res, t);
    Fail(res.name + ": " + ResourceName(t.typeId, t.index), err, OsReason());
  }
  return data;
}

// The size of resource `t`, from the directory; a failure (no such
// resource) ends the program as LoadResource's would.
uint32_t ResourceSize(const ResFile& res, const Target& t) {
  ResInfo info{};
  if (ErrCode err = ResGetIndexedInfo(res.file, t.typeId, t.index, &info)) {
    if (err == errResNotFound) FailNotFound(res, t);
    Fail(res.name + ": " + ResourceName(t.typeId, t.index), err);
  }
  return info.dataSize;
}

// Bytes the file has before and after a compaction.
struct Reclaim {
  uint64_t before;
  uint64_t after;
};

Reclaim PlanCompaction(const ResFile& res) {
  const ResFileHeader h = DirectoryOf(res)->header;
  // The data packed from dataStart on, the directory right behind it.
  const uint64_t after = uint64_t{h.dataStart} + DataInUse(ListResources(res)) + h.dirLength;
  return {res.fileSize, std::min(after, res.fileSize)};
}

int Create(const Args& args) {
  const std::string& name = args.positionals[0];
  // A directory is refused first: --force would not help.
  if (IsDirectory(name)) FailDirectory(name);
  std::error_code error;
  if (!args.Has("--force") && std::filesystem::exists(FsPath(name), error)) {
    Fail(name, errPreviouslyDefined, "--force replaces it");
  }
  StartLibrary(0);
  // Made beside its place: a failure (a full disk) leaves no empty FILE,
  // and an existing one as it was.
  TempFile temp(name);
  ResFile res = CreateResFile(name, temp.path());
  FinishWrite(res, temp.path());
  temp.Commit();
  std::printf("created %s (%s)\n", name.c_str(), Count(FileSizeOf(name), "byte").c_str());
  return 0;
}

int List(const Args& args) {
  const std::string& name = args.positionals[0];
  StartForDirectory(name);
  ResFile res = OpenResFile(name, false);
  const std::vector<ResInfo> resources = ListResources(res);
  const ResDirectory* dir = DirectoryOf(res);
  const uint32_t flags = dir->fileFlags & ~uint32_t{resFileFlagReadOnly};
  if (args.Has("--json")) {
    PrintListJson(res, dir->header, flags, resources);
  } else {
    PrintListText(res, dir->header, flags, resources);
  }
  CloseRead(res);
  return 0;
}

int Replace(const Args& args) {
  const Target t = ParseTarget(args);
  const std::string& dataName = args.positionals[3];
  // The new contents are read only once the file is open for writing, and
  // a failure then rewrites it as it is closed: a data file that cannot be
  // read is refused first.
  RequireReadable(dataName);
  const uint64_t newSize = InputSizeOf(dataName);
  StartForDirectory(t.file);
  ResFile res = OpenResFile(t.file, false);
  // The new contents are read, then the old resource grows to them, which
  // may move it while its old block still lives.
  RestartFor(res, ResourceSize(res, t) + 2 * newSize, true);
  Handle bytes = LoadWholeFile(dataName);
  Handle data = LoadResource(res, t);
  const uint32_t oldSize = MemGetHandleSize(data);
  const uint32_t size = MemGetHandleSize(bytes);
  if (ErrCode err = MemSetHandleSize(data, size)) Fail(t.file, err);
  if (size != 0) std::memcpy(data->data, bytes->data, size);
  if (ErrCode err = MemDisposeHandle(bytes)) Fail(dataName, err);
  if (ErrCode err = ResMarkChanged(data)) Fail(t.file, err);
  FinishWrite(res);
  std::printf("replaced %s in %s (%s, was %u)\n", ResourceName(t.typeId, t.index).c_str(),
              t.file.c_str(), Count(size, "byte").c_str(), oldSize);
  return 0;
}

int Extract(const Args& args) {
  const Target t = ParseTarget(args);
  const std::string out = args.Value("-o", "");
  if (!out.empty()) RefuseInputAsOutput("-o", out, {t.file});
  StartForDirectory(t.file);
  ResFile res = OpenResFile(t.file, false);
  RestartFor(res, ResourceSize(res, t), false);
  Handle data = LoadResource(res, t);
  if (ErrCode err = MemLockHandle(data)) Fail(t.file, err);
  WriteOutput(out, data->data, MemGetHandleSize(data));
  if (ErrCode err = MemUnlockHandle(data)) Fail(t.file, err);
  CloseRead(res);
  return 0;
}

int Remove(const Args& args) {
  const Target t = ParseTarget(args);
  StartForDirectory(t.file);
  ResFile res = OpenResFile(t.file, false);
  RestartFor(res, ResourceSize(res, t), true);
  Handle data = LoadResource(res, t);
  const uint32_t size = MemGetHandleSize(data);
  if (ErrCode err = ResRemoveResource(data)) Fail(t.file, err);
  const uint32_t left = CountResources(res, t.typeId);
  FinishWrite(res);
  std::printf("removed %s from %s (%s)", ResourceName(t.typeId, t.index).c_str(), t.file.c_str(),
              Count(size, "byte").c_str());
  if (t.index < left)
    std::printf("; later %s resources move up by one", TypeChars(t.typeId).c_str());
  std::printf("\n");
  return 0;
}

int Compact(const Args& args) {
  const std::string& name = args.positionals[0];
  const bool dryRun = args.Has("--dry-run");
  // The flush moves the data through a buffer of its own: the heap holds
  // the directory alone.
  StartForDirectory(name);
  ResFile res = OpenResFile(name, !dryRun);
  Reclaim plan = PlanCompaction(res);
  if (dryRun) {
    CloseRead(res);
    std::printf("%s: compaction would reclaim %s (%s -> %s bytes)\n", name.c_str(),
                Count(plan.before - plan.after, "byte").c_str(),
                std::to_string(plan.before).c_str(), std::to_string(plan.after).c_str());
    return 0;
  }
  MarkFileChanged(res);
  {
    // One call of the library does the work: a large file gets a notice.
    Progress progress("compacting " + name, 0);
    if (plan.before > kLargeFile) progress.Announce();
    FinishWrite(res);
  }
  // The manager cuts the file after the directory it stores.
  const uint64_t after = FileSizeOf(name);
  std::printf("compacted %s: %s reclaimed (%s -> %s bytes)\n", name.c_str(),
              Count(plan.before - std::min(after, plan.before), "byte").c_str(),
              std::to_string(plan.before).c_str(), std::to_string(after).c_str());
  return 0;
}

int Native(const Args& args) {
  const std::string& name = args.positionals[0];
  StartForDirectory(name);
  // Read-only first: closing a file opened for writing rewrites it.
  ResFile probe = OpenResFile(name, false);
  const ByteOrder before = probe.order;
  CloseRead(probe);
  if (before == NativeOrder()) Fail(name, errResAlreadyNative);
  // Opening converts the directory; rewriting it stores the native order.
  ResFile res = OpenResFile(name, true);
  MarkFileChanged(res);
  FinishWrite(res);
  std::printf("converted %s from %s to %s (native)\n", name.c_str(), OrderName(before),
              OrderName(NativeOrder()));
  return 0;
}

}  // namespace

const CommandSpec kResCreate{
    "res create",
    kResGroup,
    "FILE",
    1,
    1,
    {{"--force", nullptr, "replace an existing FILE"}},
    "make an empty resource file",
    R"(Makes FILE an empty resource file: a 32-byte header, an empty data area and
a directory without types. An existing FILE is left alone (0x420C) unless
--force is given. FILE is written beside its place and renamed there once
complete, so a failure leaves no half-made file.
)",
    "",
    Create};

const CommandSpec kResList{
    "res list",
    kResGroup,
    "FILE",
    1,
    1,
    {{"--json", nullptr,
      "the same as one JSON object: file, byteOrder, native, fileSize,\n"
      "dataStart, dataLength, dirOffset, dirLength, fileFlags, and\n"
      "resources, a list of {type, typeHex, index, offset, size,\n"
      "attributes}. Bytes of a type outside printable ASCII are\n"
      "written as \\u00XX escapes, those of a file name only when it is\n"
      "not UTF-8."}},
    "the header and one row per resource",
    R"(Prints the header of the resource file FILE (byte order, size, where the data
area and the directory lie and how long they are, the file flags) and one row
per resource: its type as four characters and in hex, its index among the
resources of its type, its data offset (from the start of the data area), its
size and its attributes.
)",
    "",
    List};

const CommandSpec kResReplace{
    "res replace",
    kResGroup,
    "FILE TYPE INDEX DATAFILE",
    4,
    4,
    {},
    "give a resource DATAFILE's bytes",
    R"(Replaces the bytes of resource INDEX of TYPE in FILE by those of DATAFILE
(- for standard input). A resource that grows is appended to the data area,
which is compacted again before the file is closed.
)",
    "  okr res replace game.res TEXT 0 greeting.txt\n",
    Replace};

const CommandSpec kResExtract{
    "res extract",
    kResGroup,
    "FILE TYPE INDEX",
    3,
    3,
    {{"-o", "OUT",
      "write to the file OUT, which must not be FILE itself; OUT is\n"
      "written beside its place and renamed there once complete"}},
    "a resource's bytes, to stdout or OUT",
    R"(Writes the bytes of resource INDEX of TYPE in FILE to standard output, or to
the file OUT. FILE is opened read-only.
)",
    "  okr res extract game.res TEXT 0 -o greeting.txt\n",
    Extract};

const CommandSpec kResRemove{
    "res remove",
    kResGroup,
    "FILE TYPE INDEX",
    3,
    3,
    {},
    "take a resource out",
    R"(Takes resource INDEX of TYPE out of FILE; the resources of TYPE behind it
move up by one index, and a type left without resources disappears.
)",
    "",
    Remove};

const CommandSpec kResCompact{
    "res compact",
    kResGroup,
    "FILE",
    1,
    1,
    {{"--dry-run", nullptr, "report the bytes a compaction would reclaim, change nothing"}},
    "pack the data area, cut the file",
    R"(Packs the resources of FILE one after the other from the start of the data
area, writes the directory right behind them, cuts the file there, and
reports the bytes reclaimed.
)",
    "",
    Compact};

const CommandSpec kResNative{
    "res native",
    kResGroup,
    "FILE",
    1,
    1,
    {},
    "rewrite a file of the other byte order",
    R"(Rewrites a resource file of the other byte order in the byte order of this
machine (the header and directory words; the resources' bytes are left as
they are). The file is compacted on the way. A file that is native already
is refused with 0x4587.
)",
    "",
    Native};

}  // namespace okr_tool
