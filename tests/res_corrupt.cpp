// Untrusted resource files: every damaged file is refused with a code, and
// nothing is linked or left allocated.
#include "res_builder.h"

namespace {

class ResCorrupt : public ResTest {};

enum Where { kHeader, kDirectory, kCut };  // a word of either, or the file cut short

TEST_F(ResCorrupt, DamagedFilesAreRefusedWithACode) {
  // Two types: "AAAA" with 10 bytes at 0 and 5 at 10, "BBBB" with 3 at 20;
  // 23 data bytes. In the directory (at 55, 152 bytes) the type list is at
  // 52, the records at 56 and 68, the entries at 80, 104 and 128.
  struct Damage {
    Where where;
    uint32_t pos, value;
    ErrCode expected;
  } damages[] = {
      {kHeader, 4, 0x200, errVersionMismatch},            // version in neither order
      {kDirectory, 4, 0x300, errVersionMismatch},         // the directory's own version
      {kHeader, 16, 5000, errFileEof},                    // directory beyond the end
      {kHeader, 20, 0xFFFFFFF0u, errFileEof},             // huge directory length
      {kHeader, 20, 40, errResInvalidFile},               // shorter than the fixed part
      {kDirectory, 20, 60, errResInvalidFile},            // the copy disagrees on the length
      {kDirectory, 44, 4000, errResInvalidFile},          // type list beyond
      {kDirectory, 44, 53, errResInvalidFile},            // type list unaligned
      {kDirectory, 44, 8, errResInvalidFile},             // type list over the fixed part
      {kDirectory, 52, 0x40000000u, errResInvalidFile},   // huge type count
      {kDirectory, 64, 0x7FFFFFF0u, errResInvalidFile},   // entry list beyond
      {kDirectory, 64, 0, errResInvalidFile},             // entries over the type list
      {kDirectory, 60, 0x20000000u, errResInvalidFile},   // huge entry count
      {kDirectory, 60, 0x0AAAAAABu, errResInvalidFile},   // count * 24 wraps to 8
      {kDirectory, 52, 0x15555556u, errResInvalidFile},   // count * 12 wraps to 8
      {kHeader, 16, 0xFFFFFFF0u, errFileEof},             // offset + length wraps
      {kDirectory, 76, 28, errResInvalidFile},            // two types share entries
      {kDirectory, 88, 20, errResInvalidFile},            // resource beyond the data area
      {kDirectory, 116, 0xFFFFFFFCu, errResInvalidFile},  // size wraps around
      {kDirectory, 88, 5, errResInvalidFile},             // overlapping resources
      {kDirectory, 12, 0x10000, errResInvalidFile},       // data area beyond the file
      {kDirectory, 8, 4, errResInvalidFile},              // data area over the header
      {kDirectory, 12, 175, errResInvalidFile},           // data area over the directory
      {kCut, 0, 0, errFileEof},                           // empty file
      {kCut, 10, 0, errFileEof},                          // header cut short
      {kCut, 32, 0, errFileEof},                          // no directory
      {kCut, 206, 0, errFileEof},                         // directory one byte short
  };
  for (bool otherOrder : {false, true}) {
    for (const Damage& d : damages) {
      SCOPED_TRACE(testing::Message() << d.where << " " << d.pos << " " << otherOrder);
      uint32_t dirOffset = 0;
      ResFilePlan plan{{{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}},
                       otherOrder};
      Bytes bytes = BuildResFile(plan, &dirOffset);
      if (d.where == kCut) bytes.resize(d.pos);
      if (d.where != kCut)
        PutWord(bytes, (d.where == kDirectory ? dirOffset : 0) + d.pos, d.value, otherOrder);
      WriteBytes(TempPath("corrupt.res"), bytes);
      File* f = nullptr;
      EXPECT_EQ(ResOpenNamedFile(TempPath("corrupt.res").c_str(), &f), d.expected);
      EXPECT_EQ(resLastError, d.expected);
      EXPECT_EQ(resTopFile, nullptr);
      EXPECT_EQ(BlocksInUse(), 0u);
    }
  }
}

}  // namespace
