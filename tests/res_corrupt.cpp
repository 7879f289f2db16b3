// Untrusted resource files: every damaged file is refused with a code, and
// nothing is linked or left allocated.
#include "res_builder.h"

namespace {

class ResCorrupt : public ResTest {};

// Two types: "AAAA" with 10 bytes at 0 and 5 at 10, "BBBB" with 3 at 20. In
// its directory the type list is at 52, the records at 56 and 68, the
// entries at 80, 104 and 128.
ResFilePlan Sample(bool otherOrder) {
  return ResFilePlan{{{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}},
                     otherOrder};
}

TEST_F(ResCorrupt, DamagedFilesAreRefusedWithACode) {
  struct Damage {
    bool inDirectory;  // else in the header at offset 0 (the copy stays)
    uint32_t pos, value;
    ErrCode expected;
  } damages[] = {
      {false, 4, 0x200, errVersionMismatch},        // version in neither order
      {true, 4, 0x300, errVersionMismatch},         // the directory's own version
      {false, 16, 5000, errFileEof},                // directory beyond the end
      {false, 20, 0xFFFFFFF0u, errFileEof},         // huge directory length
      {false, 20, 40, errResInvalidFile},           // shorter than the fixed part
      {true, 20, 60, errResInvalidFile},            // the copy disagrees on the length
      {true, 44, 4000, errResInvalidFile},          // type list beyond
      {true, 44, 53, errResInvalidFile},            // type list unaligned
      {true, 44, 8, errResInvalidFile},             // type list over the fixed part
      {true, 52, 0x40000000u, errResInvalidFile},   // huge type count
      {true, 64, 0x7FFFFFF0u, errResInvalidFile},   // entry list beyond
      {true, 64, 0, errResInvalidFile},             // entries over the type list
      {true, 60, 0x20000000u, errResInvalidFile},   // huge entry count
      {true, 76, 28, errResInvalidFile},            // two types share entries
      {true, 88, 20, errResInvalidFile},            // resource beyond the data area
      {true, 116, 0xFFFFFFFCu, errResInvalidFile},  // size wraps around
      {true, 88, 5, errResInvalidFile},             // overlapping resources
      {true, 12, 0x10000, errResInvalidFile},       // data area beyond the file
      {true, 8, 4, errResInvalidFile},              // data area over the header
      {true, 12, 175, errResInvalidFile},           // data area over the directory
  };
  for (bool otherOrder : {false, true}) {
    for (const Damage& d : damages) {
      SCOPED_TRACE(testing::Message() << d.pos << (otherOrder ? " other order" : ""));
      uint32_t dirOffset = 0;
      Bytes bytes = BuildResFile(Sample(otherOrder), &dirOffset);
      PutWord(bytes, (d.inDirectory ? dirOffset : 0) + d.pos, d.value, otherOrder);
      WriteBytes(TempPath("corrupt.res"), bytes);
      File* f = nullptr;
      EXPECT_EQ(ResOpenNamedFile(TempPath("corrupt.res").c_str(), &f), d.expected);
      EXPECT_EQ(resLastError, d.expected);
      EXPECT_EQ(resTopFile, nullptr);
      EXPECT_EQ(BlocksInUse(), 0u);
    }
  }
}

TEST_F(ResCorrupt, TruncatedFilesAreRefused) {
  Bytes whole = BuildResFile(Sample(false));
  for (size_t length : {size_t{0}, size_t{10}, size_t{32}, whole.size() - 1}) {
    WriteBytes(TempPath("cut.res"), Bytes(whole.begin(), whole.begin() + length));
    File* f = nullptr;
    EXPECT_EQ(ResOpenNamedFile(TempPath("cut.res").c_str(), &f), errFileEof) << length;
    EXPECT_EQ(BlocksInUse(), 0u);
  }
  File* f = nullptr;
  EXPECT_EQ(ResOpenNamedFile(TempPath("missing.res").c_str(), &f), errFileNotFound);
}

}  // namespace
