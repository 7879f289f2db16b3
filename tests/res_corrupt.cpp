// Untrusted resource files: every damaged file is refused with a code, and
// nothing is linked or left allocated.
#include "res_builder.h"

namespace {

class ResCorrupt : public ResTest {};

// A valid file of two types to damage: "AAAA" (two entries) and "BBBB".
ResFileSpec Sample(bool otherOrder) {
  ResFileSpec spec;
  spec.resources = {{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}};
  spec.otherOrder = otherOrder;
  return spec;
}

// Directory positions of the sample: fixed part, type list at 52, records at
// 56 and 68, entries from 80.
enum : uint32_t {
  kDirLen = 20,
  kTypeList = 44,
  kTypeCount = 52,
  kType0Count = 60,
  kType0List = 64,
  kType1List = 76,
  kEntry0Offset = 80 + 8,
  kEntry1Size = 104 + 12,
};

struct Damage {
  const char* name;
  bool inDirectory;  // else in the header at file offset 0 (the copy stays)
  uint32_t pos;
  uint32_t value;
  ErrCode expected;
};

TEST_F(ResCorrupt, DamagedFilesAreRefusedWithACode) {
  const Damage damages[] = {
      {"version in neither order", false, 4, 0x200, errVersionMismatch},
      {"directory version", true, 4, 0x300, errVersionMismatch},
      {"directory beyond the end", false, 16, 5000, errFileEof},
      {"huge directory length", false, 20, 0xFFFFFFF0u, errFileEof},
      {"directory too short", false, 20, 40, errResInvalidFile},
      {"copy disagrees on the length", true, kDirLen, 60, errResInvalidFile},
      {"type list beyond", true, kTypeList, 4000, errResInvalidFile},
      {"type list unaligned", true, kTypeList, 53, errResInvalidFile},
      {"type list inside the fixed part", true, kTypeList, 8, errResInvalidFile},
      {"huge type count", true, kTypeCount, 0x40000000u, errResInvalidFile},
      {"entry list beyond", true, kType0List, 0x7FFFFFF0u, errResInvalidFile},
      {"entry list over the type list", true, kType0List, 0, errResInvalidFile},
      {"huge entry count", true, kType0Count, 0x20000000u, errResInvalidFile},
      {"entry arrays shared", true, kType1List, 28, errResInvalidFile},
      {"resource beyond the data area", true, kEntry0Offset, 20, errResInvalidFile},
      {"resource size wraps around", true, kEntry1Size, 0xFFFFFFFCu, errResInvalidFile},
      {"overlapping resources", true, kEntry0Offset, 5, errResInvalidFile},
      {"data area beyond the file", true, 12, 0x10000, errResInvalidFile},
      {"data area inside the header", true, 8, 4, errResInvalidFile},
  };
  for (bool otherOrder : {false, true}) {
    for (const Damage& d : damages) {
      SCOPED_TRACE(std::string(d.name) + (otherOrder ? " (other order)" : ""));
      BuiltLayout layout;
      Bytes bytes = BuildResFile(Sample(otherOrder), &layout);
      uint32_t base = d.inDirectory ? layout.dirOffset : 0;
      PutWord(bytes, base + d.pos, d.value, otherOrder);
      std::string path = TempPath("corrupt.res");
      WriteBytes(path, bytes);
      File* f = nullptr;
      EXPECT_EQ(ResOpenNamedFile(path.c_str(), &f), d.expected);
      EXPECT_EQ(resLastError, d.expected);
      EXPECT_EQ(resTopFile, nullptr);
      EXPECT_EQ(BlocksInUse(), 0u);
    }
  }
}

TEST_F(ResCorrupt, TruncatedFilesAreRefused) {
  Bytes whole = BuildResFile(Sample(false));
  for (size_t length : {size_t{0}, size_t{10}, size_t{32}, whole.size() - 1}) {
    SCOPED_TRACE(length);
    std::string path = TempPath("truncated.res");
    WriteBytes(path, Bytes(whole.begin(), whole.begin() + length));
    File* f = nullptr;
    EXPECT_EQ(ResOpenNamedFile(path.c_str(), &f), errFileEof);
    EXPECT_EQ(resTopFile, nullptr);
    EXPECT_EQ(BlocksInUse(), 0u);
  }
  File* f = nullptr;
  EXPECT_EQ(ResOpenNamedFile(TempPath("missing.res").c_str(), &f), errFileNotFound);
}

}  // namespace
