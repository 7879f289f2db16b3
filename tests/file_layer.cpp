// File layer: path translation, stream transfers and their codes, whole-file
// load and save, refusals at 2 GiB.
#include <okr/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "res_builder.h"

namespace {

TEST(FilePath, TranslatesLibraryPathsForThePlatform) {
  struct Case {
    const char* lib;
    const char* native;
  };
#ifdef _WIN32
  const Case cases[] = {{":data:maps:town.map", "data\\maps\\town.map"},
                        {":readme.txt", "readme.txt"},
                        {"::x", "\\x"},
                        {":", ""},
                        {"C:\\games\\save.dat", "C:\\games\\save.dat"},
                        {"maps:town.map", "maps:town.map"}};
#else
  const Case cases[] = {{":data:maps:town.map", "data/maps/town.map"},
                        {":readme.txt", "readme.txt"},
                        {"::x", "/x"},
                        {":", ""},
                        {"/games/save.dat", "/games/save.dat"},
                        {"maps:town.map", "maps:town.map"}};
#endif
  for (const Case& c : cases) {
    char out[filePathBufferSize];
    EXPECT_EQ(FileMakePath(c.lib, out), out) << c.lib;
    EXPECT_STREQ(out, c.native) << c.lib;
  }
}

TEST(FilePath, RefusesWhatDoesNotFitTheBuffer) {
  char out[filePathBufferSize];
  std::string fits(filePathBufferSize - 1, 'a');
  EXPECT_EQ(FileMakePath(fits.c_str(), out), out);
  EXPECT_EQ(FileMakePath((":" + fits).c_str(), out), out);
  std::string tooLong(filePathBufferSize, 'a');
  EXPECT_EQ(FileMakePath(tooLong.c_str(), out), nullptr);
  EXPECT_STREQ(out, "");
  File* f = reinterpret_cast<File*>(1);
  EXPECT_EQ(FileOpen(tooLong.c_str(), "rb", &f), errFileNotFound);
  EXPECT_EQ(f, nullptr);
}

TEST(FileOpen, RelativeNotationOpensInSubdirectories) {
  mkdir("okr_file_dir", 0755);
  mkdir("okr_file_dir/sub", 0755);
  WriteBytes("okr_file_dir/sub/x.txt", Bytes{'h', 'i'});
  File* f = nullptr;
  ASSERT_EQ(FileOpen(":okr_file_dir:sub:x.txt", "rb", &f), 0u);
  EXPECT_EQ(FileClose(f), 0u);
  EXPECT_EQ(FileOpen("okr_file_dir:sub:x.txt", "rb", &f), errFileNotFound);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(FileOpen(":okr_file_dir:sub:x.txt", "bad mode", &f), errFileNotFound);
  remove("okr_file_dir/sub/x.txt");
  rmdir("okr_file_dir/sub");
  rmdir("okr_file_dir");
  EXPECT_EQ(FileClose(nullptr), errNilPointer);
}

TEST(FileStream, TransfersReportShortCountsWithCodes) {
  std::string path = TempPath("stream.bin");
  WriteBytes(path, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  File* f = nullptr;
  ASSERT_EQ(FileOpen(path.c_str(), "rb", &f), 0u);
  char buf[32];
  EXPECT_EQ(FileSeek(f, fileSeekStart, 4), 0u);
  int32_t size = 0;
  EXPECT_EQ(FileGetSize(f, &size), 0u);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(ftell(f), 4);  // the size leaves the position alone
  EXPECT_EQ(FileRead(f, buf, 0), 0u);
  EXPECT_EQ(fileLastReadCount, 0u);
  EXPECT_EQ(FileRead(f, buf, 20), errFileEof);
  EXPECT_EQ(fileLastReadCount, 6u);
  EXPECT_EQ(buf[0], 5);
  // A write on a read-only stream whose end-of-file indicator is set.
  EXPECT_EQ(FileWrite(f, buf, 4), errFileEof);
  EXPECT_EQ(FileSeek(f, fileSeekStart, 0), 0u);
  EXPECT_EQ(FileWrite(f, buf, 4), errFileWrite);
  EXPECT_EQ(fileLastWriteCount, 0u);
  EXPECT_EQ(FileSeek(f, fileSeekStart, -1), errFileBounds);
  EXPECT_EQ(FileSeek(f, 7, 0), errFileBounds);
  EXPECT_EQ(FileClose(f), 0u);
  remove(path.c_str());
}

TEST(FileStream, WriteToAFullDeviceFails) {
  File* f = nullptr;
  ASSERT_EQ(FileOpen("/dev/full", "wb", &f), 0u);
  char buf[100] = {};
  EXPECT_EQ(FileWrite(f, buf, sizeof buf), errFileWrite);
  FileClose(f);
}

class FileWhole : public HeapTest {};

TEST_F(FileWhole, LoadAndSaveThroughHandles) {
  std::string path = TempPath("whole.txt");
  Handle h = MemNewHandle(5);
  ASSERT_NE(h, nullptr);
  memcpy(h->data, "hello", 5);
  MemLockHandle(h);
  EXPECT_EQ(FileSave(path.c_str(), h), 0u);
  EXPECT_EQ(MemGetFlags(h) & memFlagLocked, 0u);  // left unlocked, even so
  Handle loaded = nullptr;
  ASSERT_EQ(FileLoad(path.c_str(), &loaded), 0u);
  EXPECT_EQ(HandleText(loaded), "hello");
  EXPECT_EQ(MemGetFlags(loaded) & memFlagLocked, 0u);
  MemDisposeHandle(loaded);
  EXPECT_EQ(FileSave("/dev/full", h), errFileWrite);
  MemSetHandleSize(h, 0);
  EXPECT_EQ(FileSave(path.c_str(), h), 0u);
  ASSERT_EQ(FileLoad(path.c_str(), &loaded), 0u);  // an empty file
  EXPECT_EQ(MemGetHandleSize(loaded), 0u);
  MemDisposeHandle(loaded);
  // A memory failure still standing stops the save before the file.
  EXPECT_EQ(MemNewHandle(0xFFFFFFF0u), nullptr);
  EXPECT_EQ(FileSave(path.c_str(), h), errMemOutOfMemory);
  MemDisposeHandle(h);
  remove(path.c_str());
  loaded = reinterpret_cast<Handle>(1);
  EXPECT_EQ(FileLoad(path.c_str(), &loaded), errFileNotFound);
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(BlocksInUse(), 0u);
}

TEST_F(FileWhole, FilesOfTwoGigabytesAreRefused) {
  std::string path = TempPath("huge.bin");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate64(fileno(f), off64_t{0x7FFFFFFF} + 1), 0);  // sparse
  fclose(f);
  Handle loaded = reinterpret_cast<Handle>(1);
  ErrCode err = FileLoad(path.c_str(), &loaded);
  // 64-bit builds open the file and refuse its size; 32-bit ones cannot
  // open it at all.
  EXPECT_TRUE(err == errFileBounds || err == errFileNotFound) << std::hex << err;
  EXPECT_EQ(loaded, nullptr);
  File* stream = nullptr;
  if (FileOpen(path.c_str(), "rb", &stream) == 0) {
    int32_t size = 0;
    EXPECT_EQ(FileGetSize(stream, &size), errFileBounds);
    EXPECT_EQ(FileSeek(stream, fileSeekEnd, 0), errFileBounds);
    FileClose(stream);
  }
  remove(path.c_str());
  EXPECT_EQ(BlocksInUse(), 0u);
}

}  // namespace
