// Resource byte order: the version word decides, conversion keeps the carried
// words, and a flushed file is native with its header in front.
#include <memory>

#include "res_builder.h"

namespace {

class ResFormat : public ResTest {};

ResFilePlan TwoTypes(bool otherOrder, uint32_t fileFlags) {
  return ResFilePlan{{{"PICT", 0, "abcdefgh"}, {"SND ", 8, "xyz"}, {"PICT", 11, "12345"}},
                     otherOrder,
                     0,
                     fileFlags};
}

TEST_F(ResFormat, VersionWordDecidesTheByteOrder) {
  // Bytes 4 to 7: 00 01 00 00 native, 00 00 01 00 converted, else refused.
  for (uint32_t version : {0x100u, 0x10000u, 0x20000u}) {
    Bytes bytes = BuildResFile(TwoTypes(version == 0x10000u, 0x40));
    PutWord(bytes, 4, version, false);
    WriteBytes(TempPath("order.res"), bytes);
    File* f = nullptr;
    ASSERT_EQ(ResOpenNamedFile(TempPath("order.res").c_str(), &f),
              version == 0x20000u ? ErrCode{errVersionMismatch} : 0u);
    if (version == 0x20000u) continue;
    const ResFileHeader& h = TopDir()->header;
    EXPECT_EQ(h.dataLength, 16u);
    EXPECT_EQ(h.headerWord0 ^ h.headerWord6 ^ h.headerWord7,
              0x11223344u ^ 0x55667788u ^ 0x99AABBCCu);
    EXPECT_EQ(TopDir()->fileFlags, 0xC0u);  // stored bits stay, read-only added
    uint32_t type = 0;
    EXPECT_EQ(ResGetTypeId(f, 1, &type), 0u);
    EXPECT_EQ(type, TypeWord("SND "));
    Handle h1 = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("PICT"), 1, &h1), 0u);
    EXPECT_EQ(HandleText(h1), "12345");
    EXPECT_EQ(ResCloseFile(f), 0u);
  }
  ResDirectory native{};
  native.header.version = resVersion;  // the version decides, not the length
  EXPECT_EQ(ResConvertHeader(&native.header), errResAlreadyNative);
  EXPECT_EQ(ResConvertDirectory(&native), errResAlreadyNative);
  // A directory of the other order whose length word is below the fixed
  // part: refused with nothing swapped and nothing read past its header copy.
  for (uint32_t length : {0u, 24u, 51u}) {
    auto copy = std::make_unique<ResFileHeader>();  // the header copy alone
    copy->version = resVersion;
    copy->dirLength = length;
    SwapBytes32(&copy->version);
    SwapBytes32(&copy->dirLength);
    ResFileHeader before = *copy;
    EXPECT_EQ(ResConvertDirectory(reinterpret_cast<ResDirectory*>(copy.get())), errResInvalidFile);
    EXPECT_EQ(memcmp(&before, copy.get(), sizeof before), 0) << length;
  }
}

TEST_F(ResFormat, FlushedFileFromTheOtherOrderReadsNative) {
  File* f = OpenBuilt(TwoTypes(true, resFileFlagChanged), "flush.res");
  ASSERT_EQ(ResCloseFile(f), 0u);
  Bytes b = ReadBytes(TempPath("flush.res"));
  uint32_t dirOffset = GetWord(b, 16);
  ASSERT_LE(dirOffset + 56u, b.size());
  EXPECT_EQ(GetWord(b, 4), uint32_t{resVersion});
  EXPECT_EQ(memcmp(&b[0], &b[dirOffset], 32), 0);
  EXPECT_EQ(GetWord(b, dirOffset + 40) & 0x30u, uint32_t{resFileFlagWritten});
  EXPECT_EQ(GetWord(b, 0), 0x11223344u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[32]), 16), "abcdefghxyz12345");
  ASSERT_EQ(ResOpenNamedFile(TempPath("flush.res").c_str(), &f), 0u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("SND "), 0, &h), 0u);
  EXPECT_EQ(HandleText(h), "xyz");
}

// OKR_RES_TYPE gives the word a type's four bytes make in memory, as a
// constant that case labels take.
TEST(ResTypeMacro, MakesTheStoredWord) {
  auto name = [](uint32_t typeId) {
    switch (typeId) {
      case OKR_RES_TYPE('T', 'E', 'X', 'T'):
        return "TEXT";
      case OKR_RES_TYPE('S', 'N', 'D', ' '):
        return "SND ";
      case OKR_RES_TYPE('\xFF', '\x01', 'a', '\0'):
        return "\377\001a";
      default:
        return "";
    }
  };
  const char* const types[] = {"TEXT", "SND ", "\377\001a"};
  for (const char* type : types) {
    char bytes[4] = {};
    memcpy(bytes, type, strlen(type));
    uint32_t word;
    memcpy(&word, bytes, 4);
    EXPECT_STREQ(name(word), type);
  }
}

}  // namespace
