// okr res add and okr res pack: many files into a resource file, which is
// written once.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli.h"
#include "command.h"
#include "output.h"
#include "res_file.h"

namespace okr_tool {

namespace {

namespace fs = std::filesystem;

// A file to add and the type it goes under.
struct Item {
  std::string path;
  uint32_t typeId;
};

// The size of the largest file, once each is known to be readable: the
// resource file is not touched before.
uint64_t LargestReadable(const std::vector<Item>& items) {
  uint64_t largest = 0;
  for (const Item& item : items) {
    RequireReadable(item.path);
    largest = std::max(largest, InputSizeOf(item.path));
  }
  return largest;
}

// Adds each item as the last resource of its type and writes its data
// back at once, so that only one file's bytes are held at a time; the
// directory is written when the file is finished. Prints one line per
// resource, "VERB TEXT #3WHERE (28 bytes): PATH".
void AddAll(ResFile& res, const std::vector<Item>& items, const char* verb,
            const std::string& where) {
  Progress progress("adding to " + res.name, items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    progress.Update(i);
    const Item& item = items[i];
    Handle data = LoadWholeFile(item.path);
    const uint32_t size = MemGetHandleSize(data);
    if (ErrCode err = ResAddResource(res.file, item.typeId, data)) Fail(res.name, err);
    const uint32_t index = CountResources(res, item.typeId) - 1;
    ClearOsError();
    if (ErrCode err = ResWriteResource(data)) Fail(res.name, err, OsReason());
    if (ErrCode err = ResReleaseResource(data)) Fail(res.name, err);
    std::printf("%s %s%s (%s): %s\n", verb, ResourceName(item.typeId, index).c_str(), where.c_str(),
                Count(size, "byte").c_str(), item.path.c_str());
  }
}

int Add(const Args& args) {
  const std::string& name = args.positionals[0];
  const uint32_t typeId = ParseType(args.positionals[1]);
  std::vector<Item> items;
  for (size_t i = 2; i < args.positionals.size(); ++i)
    items.push_back({args.positionals[i], typeId});
  // Each DATAFILE is read after the one before was written to FILE, so
  // FILE itself would be taken half-written. A streamed input is read whole
  // before FILE is touched, and "-" is no file of that name.
  for (const Item& item : items) {
    if (!IsStreamedInput(item.path) && SameFile(item.path, name))
      UsageFail(item.path, errBadData, "the resource file itself: add a copy of it");
  }
  // One file's bytes are held at a time, beside the directory; the data
  // already in the file is not read.
  const uint64_t largest = LargestReadable(items);
  StartLibrary(largest + DirectoryHeap(EntriesIn(name) + items.size()));
  // add does not make FILE: say what does.
  std::error_code error;
  if (!fs::exists(FsPath(name), error) && !error) {
    Fail(name, errFileNotFound,
         std::string(std::strerror(ENOENT)) + " ('okr res create " + name + "' makes one)");
  }
  ResFile res = OpenResFile(name, true);
  AddAll(res, items, "added", " to " + name);
  FinishWrite(res);
  return 0;
}

// The directory `out` is written in: the one a later pack would find it in.
std::string FolderOf(const std::string& out) {
  const fs::path parent = FsPath(out).parent_path();
  return parent.empty() ? "." : FsName(parent);
}

// The files under DIR by the packing rule: each subdirectory of DIR named
// as a TYPE holds that type's files, at any depth, in the byte order of
// their paths. Anything else in DIR is refused (0x4107); `out`, should it
// lie there, is passed over. An `out` that lies under a type would be one
// of the files packed (made now, it would be the next time) and is refused
// as an input given as the output.
std::vector<Item> Collect(const std::string& dir, const std::string& out) {
  std::error_code error;
  if (!fs::is_directory(FsPath(dir), error)) {
    Fail(dir, errFileNotFound, error ? error.message() : "Not a directory");
  }
  // An existing `out` is found among the files themselves.
  const std::string outFolder = fs::exists(FsPath(out), error) ? "" : FolderOf(out);
  const auto refuseFolder = [&](const fs::path& folder, const std::string& type) {
    if (!outFolder.empty() && SameFile(FsName(folder), outFolder)) {
      UsageFail(out, errBadData, "below the type directory " + type + ", whose files are packed");
    }
  };
  std::vector<Item> items;
  // The iterators step with increment(error): their ++ throws where a
  // directory cannot be read.
  const fs::directory_iterator end;
  for (fs::directory_iterator top(FsPath(dir), error); !error && top != end; top.increment(error)) {
    const std::string type = FsName(top->path().filename());
    if (SameFile(FsName(top->path()), out)) continue;
    if (!top->is_directory(error) || !IsTypeName(type)) {
      // What DIR holds is no mistake in the command line: status 1.
      Fail(FsName(top->path()), errBadData, "not a directory named as a type");
    }
    const uint32_t typeId = ParseType(type);
    refuseFolder(top->path(), type);
    // A symbolic link below a type is followed, as the type directory
    // itself is: the files it leads to lie below the type by their paths.
    fs::recursive_directory_iterator e(top->path(), fs::directory_options::follow_directory_symlink,
                                       error);
    for (; !error && e != fs::recursive_directory_iterator(); e.increment(error)) {
      const std::string path = FsName(e->path());
      std::error_code why;
      const fs::file_status status = e->status(why);
      if (fs::is_directory(status)) {
        refuseFolder(e->path(), type);
        continue;
      }
      // Nothing is passed over in silence: the resources after it would
      // take other indices than the tree shows.
      if (status.type() == fs::file_type::not_found) {
        Fail(path, errFileNotFound, std::strerror(ENOENT));  // a link that leads nowhere
      }
      if (why) Fail(path, errFileNotFound, why.message());
      if (!fs::is_regular_file(status)) Fail(path, errFileUnsupported, "not a regular file");
      if (SameFile(path, out)) UsageFail(out, errBadData, "the same file as the input " + path);
      items.push_back({path, typeId});
    }
    if (error) Fail(FsName(top->path()), errFileNotFound, error.message());
  }
  if (error) Fail(dir, errFileNotFound, error.message());
  // Types in the order of their names, each type's files by path, with
  // '/' between the names on every system: a backslash sorts after the
  // capitals, so one tree would pack in another order on Windows.
  // (Bytes compare unsigned, as std::string's do; no path is copied.)
  const auto byte = [](char c) {
    return static_cast<unsigned char>(c == fs::path::preferred_separator ? '/' : c);
  };
  std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
    return std::lexicographical_compare(a.path.begin(), a.path.end(), b.path.begin(), b.path.end(),
                                        [&](char x, char y) { return byte(x) < byte(y); });
  });
  return items;
}

int Pack(const Args& args) {
  const std::string& out = args.positionals[0];
  const std::string& dir = args.positionals[1];
  // A directory is refused first: --force would not help.
  if (IsDirectory(out)) FailDirectory(out);
  std::error_code error;
  if (!args.Has("--force") && fs::exists(FsPath(out), error)) {
    Fail(out, errPreviouslyDefined, "--force replaces it");
  }
  const std::vector<Item> items = Collect(dir, out);
  StartLibrary(LargestReadable(items) + DirectoryHeap(items.size()));
  TempFile temp(out);
  ResFile res = CreateResFile(out, temp.path());
  AddAll(res, items, "packed", "");
  const uint32_t types = CountTypes(res);
  FinishWrite(res, temp.path());
  temp.Commit();
  std::printf("%s: %s in %s (%s)\n", out.c_str(), Count(items.size(), "resource").c_str(),
              Count(types, "type").c_str(), Count(FileSizeOf(out), "byte").c_str());
  return 0;
}

}  // namespace

const CommandSpec kResAdd{"res add",
                          kResGroup,
                          "FILE TYPE DATAFILE...",
                          3,
                          kAnyNumber,
                          {},
                          "add each DATAFILE as a new resource",
                          R"(Adds the bytes of each DATAFILE to the resource file FILE as the last
resource of TYPE, in the order given, and prints the index each got. The
file's directory is written once, after the last; the file is compacted and
read back before okr reports success. FILE must exist: 'okr res create FILE'
makes an empty one. FILE itself is no DATAFILE: add a copy of it. A
DATAFILE named - is read from standard input.
)",
                          "  okr res add game.res TEXT greeting.txt credits.txt\n",
                          Add};

const CommandSpec kResPack{
    "res pack",
    kResGroup,
    "OUT DIR",
    2,
    2,
    {{"--force", nullptr, "replace an existing OUT"}},
    "pack a directory tree into a new file",
    R"(Makes the resource file OUT from the files under the directory DIR. Each
subdirectory of DIR is named as a TYPE (four characters, or 0x and eight
hex digits, which every file system can hold) and holds the resources of
that type: every file below it, at any depth, becomes the next resource of
the type, in the byte order of the files' paths, written with '/' on every
system (so DIR/TEXT/a.txt is TEXT #0 and DIR/TEXT/b/c.txt TEXT #1).
Symbolic links are followed; one that leads nowhere, a pipe or a device
below a type is refused, not passed over. Anything else directly in DIR (a
file, a subdirectory not named as a type) is refused, but for OUT itself;
an existing OUT is refused unless --force is given, and an OUT below a
type, one of the files to pack, always. okr prints each resource's type,
index and file; OUT is written beside its place and renamed there once
complete, so a failure leaves no half-made file.
)",
    "  okr res pack game.res assets\n"
    "      (assets/TEXT/intro.txt is TEXT #0, assets/0x494D4721/logo.img IMG! #0)\n",
    Pack};

}  // namespace okr_tool
