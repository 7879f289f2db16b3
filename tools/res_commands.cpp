// okr res: create, list, add, replace, extract, remove, compact and native.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli.h"
#include "commands.h"
#include "res_file.h"

namespace okr_tool {

namespace {

// Work on files beyond this size is announced on a terminal.
constexpr uint64_t kLargeFile = 16 << 20;

// Whether `text` is well-formed UTF-8: shortest forms, no surrogates.
bool IsUtf8(const std::string& text) {
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3Fu);
    }
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    i += length;
  }
  return true;
}

// `text` as a JSON string literal. A byte outside printable ASCII becomes
// \u00XX, the character of its number, so that any bytes give valid JSON;
// with `utf8`, text that is well-formed UTF-8 keeps those bytes instead.
std::string Json(const std::string& text, bool utf8) {
  const bool keep = utf8 && IsUtf8(text);
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && !keep)) {
      out += Format("\\u%04x", byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string TypeBytes(uint32_t typeId) {
  return std::string(reinterpret_cast<const char*>(&typeId), 4);
}

void PrintListJson(const ResFile& res, const ResFileHeader& h, uint32_t fileFlags,
                   const std::vector<ResInfo>& resources) {
  std::printf("{\n  \"file\": %s,\n  \"byteOrder\": \"%s\",\n  \"native\": %s,\n",
              Json(res.name, true).c_str(), OrderName(res.order),
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
  uint32_t types = 0;
  ResCountTypes(res.file, &types);
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

// The target's data, loaded from the open file.
Handle LoadResource(const ResFile& res, const Target& t) {
  Handle data = nullptr;
  if (ErrCode err = ResLoadResource(res.file, t.typeId, t.index, &data)) {
    Fail(res.name + ": " + ResourceName(t.typeId, t.index), err);
  }
  return data;
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

}  // namespace

int ResCreate(const Argv& argv) {
  const Args args = ParseArgs(argv, "res create", {{"--force", false}}, 1, 1);
  const std::string& name = args.positionals[0];
  std::error_code error;
  if (!args.Has("--force") && std::filesystem::exists(name, error)) {
    Fail(name, errPreviouslyDefined);
  }
  StartLibrary(0);
  ResFile res{name, nullptr, NativeOrder(), 0};
  if (ErrCode err = ResCreateFile(LibraryPath(name).c_str(), &res.file)) Fail(name, err);
  FinishWrite(res);
  std::printf("created %s (%s)\n", name.c_str(), Count(FileSizeOf(name), "byte").c_str());
  return 0;
}

int ResList(const Argv& argv) {
  const Args args = ParseArgs(argv, "res list", {{"--json", false}}, 1, 1);
  const std::string& name = args.positionals[0];
  StartLibrary(FileSizeOf(name));
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

int ResAdd(const Argv& argv) {
  const Args args = ParseArgs(argv, "res add", {}, 3, 3);
  const std::string& name = args.positionals[0];
  const uint32_t typeId = ParseType(args.positionals[1]);
  const std::string& dataName = args.positionals[2];
  StartLibrary(FileSizeOf(name) + FileSizeOf(dataName));
  Handle data = LoadWholeFile(dataName);
  const uint32_t size = MemGetHandleSize(data);
  ResFile res = OpenResFile(name, true);
  if (ErrCode err = ResAddResource(res.file, typeId, data)) Fail(name, err);
  uint32_t count = 0;
  ResCountResources(res.file, typeId, &count);
  FinishWrite(res);
  std::printf("added %s to %s (%s)\n", ResourceName(typeId, count - 1).c_str(), name.c_str(),
              Count(size, "byte").c_str());
  return 0;
}

int ResReplace(const Argv& argv) {
  const Args args = ParseArgs(argv, "res replace", {}, 4, 4);
  const Target t = ParseTarget(args);
  const std::string& dataName = args.positionals[3];
  StartLibrary(FileSizeOf(t.file) + FileSizeOf(dataName));
  Handle bytes = LoadWholeFile(dataName);
  ResFile res = OpenResFile(t.file, true);
  Handle data = LoadResource(res, t);
  const uint32_t oldSize = MemGetHandleSize(data);
  const uint32_t newSize = MemGetHandleSize(bytes);
  if (ErrCode err = MemSetHandleSize(data, newSize)) Fail(t.file, err);
  if (newSize != 0) std::memcpy(data->data, bytes->data, newSize);
  MemDisposeHandle(bytes);
  if (ErrCode err = ResMarkChanged(data)) Fail(t.file, err);
  FinishWrite(res);
  std::printf("replaced %s in %s (%s, was %u)\n", ResourceName(t.typeId, t.index).c_str(),
              t.file.c_str(), Count(newSize, "byte").c_str(), oldSize);
  return 0;
}

int ResExtract(const Argv& argv) {
  const Args args = ParseArgs(argv, "res extract", {{"-o", true}}, 3, 3);
  const Target t = ParseTarget(args);
  StartLibrary(FileSizeOf(t.file));
  ResFile res = OpenResFile(t.file, false);
  Handle data = LoadResource(res, t);
  MemLockHandle(data);
  WriteOutput(args.Value("-o", ""), data->data, MemGetHandleSize(data));
  MemUnlockHandle(data);
  CloseRead(res);
  return 0;
}

int ResRemove(const Argv& argv) {
  const Args args = ParseArgs(argv, "res remove", {}, 3, 3);
  const Target t = ParseTarget(args);
  StartLibrary(FileSizeOf(t.file));
  ResFile res = OpenResFile(t.file, true);
  Handle data = LoadResource(res, t);
  const uint32_t size = MemGetHandleSize(data);
  if (ErrCode err = ResRemoveResource(data)) Fail(t.file, err);
  uint32_t left = 0;
  ResCountResources(res.file, t.typeId, &left);
  FinishWrite(res);
  std::printf("removed %s from %s (%s)", ResourceName(t.typeId, t.index).c_str(), t.file.c_str(),
              Count(size, "byte").c_str());
  if (t.index < left)
    std::printf("; later %s resources move up by one", TypeChars(t.typeId).c_str());
  std::printf("\n");
  return 0;
}

int ResCompact(const Argv& argv) {
  const Args args = ParseArgs(argv, "res compact", {{"--dry-run", false}}, 1, 1);
  const std::string& name = args.positionals[0];
  const bool dryRun = args.Has("--dry-run");
  StartLibrary(FileSizeOf(name));
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

int ResNative(const Argv& argv) {
  const Args args = ParseArgs(argv, "res native", {}, 1, 1);
  const std::string& name = args.positionals[0];
  StartLibrary(FileSizeOf(name));
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

}  // namespace okr_tool
