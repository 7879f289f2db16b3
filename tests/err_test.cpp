// The message table: every code's text byte for byte, in ascending order.
#include <gtest/gtest.h>
#include <okr/err.h>

#include <cstring>
#include <string>

TEST(ErrTable, TextsAndOrder) {
  const struct {
    ErrCode code;
    const char* text;
  } cases[] = {
      {0x0000, "No Error"},
      {0x0002, "End of File"},
      {0x4002, "Pseudo Op Reserved"},
      {0x4103, "Uknown Token"},
      {0x410A, "Bad shutdown order"},
      {0x420A, "Macro Parameter to large"},
      {0x420B, "Bad Macro Paramenter count"},
      {0x4282, "data (hash?) table full"},
      {0x4302, "FONT: Rnd of border not found @ start of image"},
      {0x4305, "FONT: chars in image don't match chars in config def"},
      {0x4503, "FILE: End of file (EOF)"},
      {0x4581, "RES: Not Started"},
      {0x4587, "RES: File already native endian"},
      {0x4601, "MEM: Not started"},
      {0x4609, "MEM: Locked handle (resize, purge, etc.)"},
      {0x460E, "MEM: Handle's Master Tag ID is not valid"},
      {0x4509, "Unknown error code"},
      {0x4000, "Unknown error code"},
      {0xFFFFFFFF, "Unknown error code"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(ErrGetText(c.code), c.text) << std::hex << c.code;

  size_t n = 0;
  for (; errMessages[n].text != nullptr; ++n) {
    if (n > 0) {
      EXPECT_LT(errMessages[n - 1].code, errMessages[n].code);
    }
    EXPECT_STREQ(ErrGetText(errMessages[n].code), errMessages[n].text);
  }
  EXPECT_EQ(n, 76u);
  EXPECT_EQ(errMessages[n].code, 0u);
}

// A checksum over all codes and texts catches a changed byte anywhere.
TEST(ErrTable, WholeTableDigest) {
  std::string all;
  for (size_t i = 0; errMessages[i].text != nullptr; ++i) {
    all += std::to_string(errMessages[i].code) + "=" + errMessages[i].text + ";";
  }
  uint32_t h = 2166136261u;
  for (unsigned char c : all)
    h = (h ^ c) * 16777619u;
  EXPECT_EQ(all.size(), 2217u);
  EXPECT_EQ(h, 1172317275u) << "digest " << h;
}
