// okr res check: the library's verdict on a resource file, and in words what
// is wrong with it. The library refuses a damaged file with one code; the
// tool reads the header and directory itself, through the format's public
// records, to name the piece that is wrong.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "res_file.h"

namespace okr_tool {

namespace {

constexpr uint32_t kHeaderSize = sizeof(ResFileHeader);
constexpr uint32_t kFixedSize = sizeof(ResDirectory);
constexpr uint32_t kWord = sizeof(uint32_t);

// A byte range [begin, end) and what lies there, for overlap reports.
struct Span {
  uint64_t begin, end;
  std::string what;
};

// What the raw file shows: problems that make it unusable, and notes.
struct Findings {
  std::vector<std::string> problems;
  std::vector<std::string> notes;
};

std::string Number(uint64_t n) {
  return std::to_string(n);
}

std::string Bytes(uint64_t n) {
  return Count(n, "byte");
}

std::string Place(uint64_t length, uint64_t at) {
  return Format("(%s at %s)", Bytes(length).c_str(), Number(at).c_str());
}

bool ReadAt(std::ifstream& in, uint64_t offset, void* out, uint64_t length) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
  return static_cast<uint64_t>(in.gcount()) == length;
}

// The first two spans of `spans` that overlap, as a problem; empty spans
// overlap nothing.
void ReportOverlap(std::vector<Span> spans, Findings* f) {
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  const Span* reached = nullptr;
  for (const Span& s : spans) {
    if (s.begin == s.end) continue;
    if (reached != nullptr && s.begin < reached->end) {
      f->problems.push_back(Format("%s overlaps %s", s.what.c_str(), reached->what.c_str()));
      return;
    }
    if (reached == nullptr || s.end > reached->end) reached = &s;
  }
}

// The type list and entry arrays of a converted directory of `length`
// bytes; false when the walk cannot go on.
bool CheckTypeList(ResDirectory* dir, uint32_t length, Findings* f) {
  const uint64_t list = dir->typeListOffset;
  if (list < kFixedSize || list % kWord != 0 || list + kWord > length) {
    f->problems.push_back(
        Format("the type list's offset %s lies outside the directory %s or off a word",
               Number(list).c_str(), Place(length, 0).c_str()));
    return false;
  }
  const uint8_t* base = reinterpret_cast<const uint8_t*>(dir) + list;
  uint32_t typeCount;
  std::memcpy(&typeCount, base, kWord);
  const uint64_t listEnd = kWord + uint64_t{typeCount} * sizeof(ResTypeRecord);
  if (list + listEnd > length) {
    f->problems.push_back(Format("%u type records do not fit in the %s of the directory", typeCount,
                                 Bytes(length).c_str()));
    return false;
  }
  std::vector<Span> arrays;
  for (uint32_t i = 0; i < typeCount; ++i) {
    ResTypeRecord t;
    std::memcpy(&t, base + kWord + i * sizeof t, sizeof t);
    const uint64_t end = uint64_t{t.entryListOffset} + uint64_t{t.entryCount} * sizeof(ResEntry);
    const std::string what = Format("the entries of type %s", TypeChars(t.typeId).c_str());
    if (t.entryListOffset < listEnd || t.entryListOffset % kWord != 0 || list + end > length) {
      f->problems.push_back(
          Format("%s %s lie outside the directory's entry area", what.c_str(),
                 Place(end - t.entryListOffset, list + t.entryListOffset).c_str()));
      return false;
    }
    arrays.push_back({t.entryListOffset, end, what});
  }
  ReportOverlap(arrays, f);
  return f->problems.empty();
}

// Every resource inside the data area, none overlapping another; notes the
// bytes in gaps.
void CheckResources(ResDirectory* dir, Findings* f) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(dir) + dir->typeListOffset;
  uint32_t typeCount;
  std::memcpy(&typeCount, base, kWord);
  std::vector<Span> spans;
  uint64_t used = 0;
  for (uint32_t i = 0; i < typeCount; ++i) {
    ResTypeRecord t;
    std::memcpy(&t, base + kWord + i * sizeof t, sizeof t);
    for (uint32_t k = 0; k < t.entryCount; ++k) {
      ResEntry e;
      std::memcpy(&e, base + t.entryListOffset + k * sizeof e, sizeof e);
      const Span s{e.dataOffset, uint64_t{e.dataOffset} + e.dataSize,
                   Format("%s %s", ResourceName(t.typeId, k).c_str(),
                          Place(e.dataSize, e.dataOffset).c_str())};
      if (s.end > dir->header.dataLength) {
        f->problems.push_back(Format("%s lies outside the data area (%s)", s.what.c_str(),
                                     Bytes(dir->header.dataLength).c_str()));
      }
      spans.push_back(s);
      used += e.dataSize;
    }
  }
  ReportOverlap(spans, f);
  if (f->problems.empty() && used < dir->header.dataLength) {
    f->notes.push_back(Format("%s of the data area lie in gaps (okr res compact packs them)",
                              Bytes(dir->header.dataLength - used).c_str()));
  }
}

// The directory's place that a converted header names, against the file's
// size.
bool CheckDirectoryPlace(const ResFileHeader& h, uint64_t size, Findings* f) {
  const uint64_t dirEnd = uint64_t{h.dirOffset} + h.dirLength;
  if (dirEnd > size) {
    f->problems.push_back(Format("the directory %s runs past the end of the file (%s)",
                                 Place(h.dirLength, h.dirOffset).c_str(), Bytes(size).c_str()));
    return false;
  }
  if (h.dirLength < kFixedSize + kWord) {
    f->problems.push_back(Format("the directory is %s, too short for its %u-byte fixed part",
                                 Bytes(h.dirLength).c_str(), kFixedSize + kWord));
    return false;
  }
  return true;
}

// The data area that a converted header names, against the file's size and
// the directory.
bool CheckDataArea(const ResFileHeader& h, uint64_t size, Findings* f) {
  const uint64_t dataEnd = uint64_t{h.dataStart} + h.dataLength;
  const uint64_t dirEnd = uint64_t{h.dirOffset} + h.dirLength;
  if (h.dataStart < kHeaderSize) {
    f->problems.push_back(
        Format("the data area starts at %u, inside the 32-byte header", h.dataStart));
  } else if (dataEnd > size) {
    f->problems.push_back(Format("the data area %s runs past the end of the file (%s)",
                                 Place(h.dataLength, h.dataStart).c_str(), Bytes(size).c_str()));
  } else if (h.dataLength != 0 && h.dirOffset < dataEnd && dirEnd > h.dataStart) {
    f->problems.push_back(Format("the directory %s overlaps the data area %s",
                                 Place(h.dirLength, h.dirOffset).c_str(),
                                 Place(h.dataLength, h.dataStart).c_str()));
  } else {
    return true;
  }
  return false;
}

// Reads the directory that `h` names into `words` and converts it to native
// order; false when it cannot be walked.
bool ReadDirectory(std::ifstream& in, const ResFileHeader& h, std::vector<uint32_t>* words,
                   Findings* f) {
  words->assign((h.dirLength + kWord - 1) / kWord, 0);
  auto* dir = reinterpret_cast<ResDirectory*>(words->data());
  if (!ReadAt(in, h.dirOffset, dir, h.dirLength)) {
    f->problems.push_back("the directory cannot be read");
    return false;
  }
  ResFileHeader copy = dir->header;
  const ByteOrder order = OrderOfVersion(copy.version);
  if (order == ByteOrder::kUnknown) {
    f->problems.push_back(
        Format("the directory's copy of the header has the version word 0x%08X", copy.version));
    return false;
  }
  if (order != NativeOrder()) ResConvertHeader(&copy);
  if (copy.dirLength != h.dirLength) {
    f->problems.push_back(
        Format("the directory's copy of the header gives its length as %u, the header as %u",
               copy.dirLength, h.dirLength));
    return false;
  }
  if (order != NativeOrder() && ResConvertDirectory(dir) != errNone) {
    f->problems.push_back("an offset or count of the directory points outside it");
    return false;
  }
  return true;
}

// Reads the directory that `h` names and walks it.
void CheckDirectory(std::ifstream& in, const ResFileHeader& h, uint64_t size, Findings* f) {
  std::vector<uint32_t> words;
  if (!ReadDirectory(in, h, &words, f)) return;
  auto* dir = reinterpret_cast<ResDirectory*>(words.data());
  if (std::memcmp(&dir->header, &h, sizeof h) != 0) {
    f->notes.push_back("the header at offset 0 differs from the directory's copy, which counts");
  }
  const ResFileHeader& counts = dir->header;
  if (!CheckDirectoryPlace(counts, size, f) || !CheckDataArea(counts, size, f)) return;
  if (!CheckTypeList(dir, h.dirLength, f)) return;
  CheckResources(dir, f);
  // What a compaction cuts besides the gaps: the data area packed from its
  // start with the directory behind it, the file ends there.
  const uint64_t kept = uint64_t{counts.dataStart} + counts.dataLength + counts.dirLength;
  if (f->problems.empty() && kept < size) {
    f->notes.push_back(Bytes(size - kept) +
                       " of the file lie outside its data area and directory (okr res compact"
                       " cuts them)");
  }
}

Findings Diagnose(const std::string& name) {
  Findings f;
  std::ifstream in(name, std::ios::binary);
  const uint64_t size = FileSizeOf(name);
  ResFileHeader h;
  if (!in || size < kHeaderSize || !ReadAt(in, 0, &h, sizeof h)) {
    f.problems.push_back(Format("the file has %s, fewer than a header's 32", Bytes(size).c_str()));
    return f;
  }
  const ByteOrder order = OrderOfVersion(h.version);
  if (order == ByteOrder::kUnknown) {
    f.problems.push_back(
        Format("the version word reads 0x%08X, 0x100 in neither byte order", h.version));
    return f;
  }
  if (order != NativeOrder()) ResConvertHeader(&h);
  // Of the header at offset 0 only the directory's place is used; the
  // directory's own copy of the header counts for the rest.
  if (CheckDirectoryPlace(h, size, &f)) CheckDirectory(in, h, size, &f);
  return f;
}

// Loads every resource once; a failure ends the program.
void ReadEveryResource(const ResFile& res, const std::vector<ResInfo>& resources) {
  Progress progress("checking " + res.name, resources.size());
  for (size_t i = 0; i < resources.size(); ++i) {
    progress.Update(i);
    Handle data = nullptr;
    const ResInfo& r = resources[i];
    if (ErrCode err = ResLoadResource(res.file, r.typeId, r.index, &data)) {
      const std::string what = ResourceName(r.typeId, r.index);
      std::printf("%s: %s cannot be read\n", res.name.c_str(), what.c_str());
      Fail(res.name + ": " + what, err);
    }
    ResReleaseResource(data);
  }
}

// Says what is wrong with the file `name` that the library refused with
// `err`, and fails. A file that cannot be opened at all has nothing to say.
[[noreturn]] void ReportRefusal(const std::string& name, ErrCode err) {
  if (err != errFileNotFound) {
    const Findings findings = Diagnose(name);
    for (const std::string& problem : findings.problems)
      std::printf("%s: %s\n", name.c_str(), problem.c_str());
    if (findings.problems.empty()) std::printf("%s: the library refuses the file\n", name.c_str());
  }
  Fail(name, err);
}

}  // namespace

int ResCheck(const Argv& argv) {
  const Args args = ParseArgs(argv, "res check", {}, 1, 1);
  const std::string& name = args.positionals[0];
  StartLibrary(FileSizeOf(name));
  ResFile res;
  if (ErrCode err = TryOpenResFile(name, false, &res)) ReportRefusal(name, err);
  const Findings findings = Diagnose(name);
  const std::vector<ResInfo> resources = ListResources(res);
  ReadEveryResource(res, resources);
  uint32_t types = 0;
  ResCountTypes(res.file, &types);
  std::printf("%s: ok: %s in %s, %s of data, %s%s\n", name.c_str(),
              Count(resources.size(), "resource").c_str(), Count(types, "type").c_str(),
              Bytes(DataInUse(resources)).c_str(), OrderName(res.order),
              res.order == NativeOrder() ? " (native)" : "");
  for (const std::string& note : findings.notes)
    std::printf("  %s\n", note.c_str());
  CloseRead(res);
  return 0;
}

}  // namespace okr_tool
