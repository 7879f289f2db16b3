// Resource file byte order: the version word decides, conversion keeps the
// carried words, and a flushed file is native with its header in front.
#include "res_builder.h"

namespace {

class ResFormat : public ResTest {};

ResFileSpec TwoTypes(bool otherOrder) {
  ResFileSpec spec;
  spec.resources = {{"PICT", 0, "abcdefgh"}, {"SND ", 8, "xyz"}, {"PICT", 11, "12345"}};
  spec.otherOrder = otherOrder;
  spec.fileFlags = 0x40;  // a bit the library only carries
  return spec;
}

TEST(ResSwap, ReversesTheFourBytes) {
  uint32_t w = 0x11223344;
  SwapBytes32(&w);
  EXPECT_EQ(w, 0x44332211u);
  ResFileHeader h{};
  h.version = resVersion;
  EXPECT_EQ(ResConvertHeader(&h), errResAlreadyNative);
  EXPECT_EQ(h.version, uint32_t{resVersion});
}

TEST_F(ResFormat, VersionWordDecidesTheByteOrder) {
  struct Case {
    const char* name;
    bool otherOrder;
    uint32_t versionBytes;  // as stored, 0 = leave the builder's
    ErrCode expected;
  };
  const Case cases[] = {{"native", false, 0, 0},
                        {"other order", true, 0, 0},
                        {"neither order", false, 0x00020000u, errVersionMismatch}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuiltLayout layout;
    Bytes bytes = BuildResFile(TwoTypes(c.otherOrder), &layout);
    if (c.versionBytes != 0) PutWord(bytes, 4, c.versionBytes, false);
    std::string path = TempPath("order.res");
    WriteBytes(path, bytes);
    File* f = fopen(path.c_str(), "rb");
    ASSERT_EQ(ResOpenFile(f, 0), c.expected);
    if (c.expected != 0) continue;
    ResDirectory* dir = static_cast<ResDirectory*>(resTopFile->data);
    EXPECT_EQ(dir->header.dataLength, 16u);
    EXPECT_EQ(dir->header.headerWord0, 0x11223344u);
    EXPECT_EQ(dir->header.headerWord6, 0x55667788u);
    EXPECT_EQ(dir->header.headerWord7, 0x99AABBCCu);
    EXPECT_EQ(dir->fileFlags, 0x40u);
    uint32_t type = 0;
    EXPECT_EQ(ResGetTypeId(f, 1, &type), 0u);
    EXPECT_EQ(type, TypeWord("SND "));
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("PICT"), 1, &h), 0u);
    EXPECT_EQ(HandleText(h), "12345");
    ResInfo info;
    ASSERT_EQ(ResGetInfo(h, &info), 0u);
    EXPECT_EQ(info.dataOffset, 11u);
    EXPECT_EQ(info.dataSize, 5u);
    EXPECT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResFormat, FlushedFileFromTheOtherOrderReadsNative) {
  ResFileSpec spec = TwoTypes(true);
  spec.fileFlags = resFileFlagChanged;
  std::string path = TempPath("flush.res");
  WriteBytes(path, BuildResFile(spec));
  File* f = OpenRW(path);
  ASSERT_EQ(ResFlushFile(f), 0u);
  ASSERT_EQ(ResCloseFile(f), 0u);
  Bytes b = ReadBytes(path);
  uint32_t dirOffset = GetWord(b, 16);
  ASSERT_LE(dirOffset + 52u, b.size());
  EXPECT_EQ(GetWord(b, 4), uint32_t{resVersion});
  EXPECT_EQ(memcmp(&b[0], &b[dirOffset], 32), 0);
  uint32_t flags = GetWord(b, dirOffset + 40);
  EXPECT_EQ(flags & resFileFlagWritten, uint32_t{resFileFlagWritten});
  EXPECT_EQ(flags & resFileFlagChanged, 0u);
  EXPECT_EQ(GetWord(b, 0), 0x11223344u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[32]), 16), "abcdefghxyz12345");
  File* again = nullptr;
  ASSERT_EQ(ResOpenNamedFile(path.c_str(), &again), 0u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(again, TypeWord("SND "), 0, &h), 0u);
  EXPECT_EQ(HandleText(h), "xyz");
  remove(path.c_str());
}

}  // namespace
