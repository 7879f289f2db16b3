// File layer: path translation, transfer codes, whole-file load and save,
// refusal of 2 GiB files.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <filesystem>

#include "file/file_internal.h"
#include "res_builder.h"

namespace {

#ifdef _WIN32
#include <io.h>
// A full device to write to: Windows has none, so those checks are skipped.
const char* const kFullDevice = nullptr;
bool MakeSparse(const char* path, int64_t size) {
  FILE* f = fopen(path, "wb");
  bool made = f != nullptr && _chsize_s(_fileno(f), size) == 0;
  if (f != nullptr) fclose(f);
  return made;
}
#else
const char* const kFullDevice = "/dev/full";
// A 32-bit process grows a file past 2 GiB only through a descriptor opened
// with O_LARGEFILE (which qemu's user-mode emulation hides, a native run not).
bool MakeSparse(const char* path, int64_t size) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0644);
  bool made = fd >= 0 && ftruncate64(fd, off64_t{size}) == 0;
  if (fd >= 0) close(fd);
  return made;
}
#endif

TEST(FileLayer, TranslatesPathsForThePlatform) {
  const char sep[] = {FILE_NATIVE_SEPARATOR, 0};
  const std::string cases[][2] = {
      {":data:maps:town.map", std::string("data") + sep + "maps" + sep + "town.map"},
      {":readme.txt", "readme.txt"},
      {"::x", std::string(sep) + "x"},
      {":", ""},
      {"C:\\games\\save.dat", "C:\\games\\save.dat"},
      {"maps:town.map", "maps:town.map"},
      {std::string(511, 'a'), std::string(511, 'a')},
      {std::string(512, 'a'), ""}};
  for (const auto& c : cases) {
    char out[filePathBufferSize];
    char* result = FileMakePath(c[0].c_str(), out);
    EXPECT_EQ(result, c[0].size() < 512 ? out : nullptr) << c[0];
    EXPECT_EQ(out, c[1]) << c[0];
  }
  File* f = reinterpret_cast<File*>(1);
  errno = 0;
  EXPECT_EQ(FileOpen(std::string(600, 'a').c_str(), "rb", &f), errFileNotFound);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
  std::error_code ignored;
  std::filesystem::create_directory("okr_file_dir", ignored);
  WriteBytes("okr_file_dir/x.txt", Bytes{'h'});
  ASSERT_EQ(FileOpen(":okr_file_dir:x.txt", "rb", &f), 0u);
  EXPECT_EQ(FileClose(f), 0u);
  EXPECT_EQ(FileOpen("okr_file_dir:x.txt", "rb", &f), errFileNotFound);
  EXPECT_EQ(FileOpen(":okr_file_dir:x.txt", "bad mode", &f), errFileNotFound);
  std::filesystem::remove_all("okr_file_dir", ignored);
  EXPECT_EQ(FileClose(nullptr), errNilPointer);
}

TEST(FileLayer, NullArgumentsAreRefusedUnread) {
  const std::string path = TempPath("null.bin"), out = TempPath("null_out.bin");
  WriteBytes(path, Bytes{'a', 'b'});
  File* f = nullptr;
  ASSERT_EQ(FileOpen(path.c_str(), "r+b", &f), 0u);
  File* other = reinterpret_cast<File*>(1);  // each failed open clears it
  char byte = 0;
  int32_t size = 0;
  Handle h = reinterpret_cast<Handle>(1);  // so does a failed load
  const ErrCode codes[][2] = {
      {FileOpen(path.c_str(), "rb", nullptr), errNilPointer},
      {FileOpen(nullptr, "rb", &other), errFileNotFound},
      {FileOpen(path.c_str(), nullptr, &other), errFileNotFound},
      {FileRead(nullptr, &byte, 1), errNilPointer},
      {FileRead(f, nullptr, 1), errNilPointer},
      {FileRead(f, nullptr, 0), 0},
      {FileWrite(nullptr, &byte, 1), errNilPointer},
      {FileWrite(f, nullptr, 1), errNilPointer},
      {FileWrite(f, nullptr, 0), 0},
      {FileSeek(nullptr, fileSeekStart, 0), errNilPointer},
      {FileGetSize(nullptr, &size), errNilPointer},
      {FileGetSize(f, nullptr), errNilPointer},
      {FileLoad(nullptr, &h), errFileNotFound},
      {FileLoad(path.c_str(), nullptr), errNilPointer},
      {FileSave(out.c_str(), nullptr), errNilPointer},
  };
  for (size_t i = 0; i < sizeof codes / sizeof codes[0]; ++i)
    EXPECT_EQ(codes[i][0], codes[i][1]) << "case " << i;
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(h, nullptr);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(FileClose(f), 0u);
  std::remove(path.c_str());
}

TEST(FileLayer, ShortTransfersAnswerWithCodes) {
  std::string path = TempPath("stream.bin");
  WriteBytes(path, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  File* f = nullptr;
  ASSERT_EQ(FileOpen(path.c_str(), "rb", &f), 0u);
  char buf[32];
  int32_t size = 0;
  EXPECT_EQ(FileSeek(f, fileSeekStart, 4), 0u);
  EXPECT_EQ(FileGetSize(f, &size), 0u);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(ftell(f), 4);
  EXPECT_EQ(FileRead(f, buf, 0), 0u);
  EXPECT_EQ(FileRead(f, buf, 20), errFileEof);
  EXPECT_EQ(fileLastReadCount, 6u);
  EXPECT_EQ(FileWrite(f, buf, 4), errFileEof);  // end-of-file indicator still set
  EXPECT_EQ(FileSeek(f, fileSeekStart, 0), 0u);
  EXPECT_EQ(FileWrite(f, buf, 4), errFileWrite);
  EXPECT_EQ(FileSeek(f, fileSeekStart, -1), errFileBounds);
  EXPECT_EQ(FileClose(f), 0u);
  if (kFullDevice != nullptr) {
    ASSERT_EQ(FileOpen(kFullDevice, "wb", &f), 0u);
    EXPECT_EQ(FileWrite(f, buf, sizeof buf), errFileWrite);
    FileClose(f);
  }
}

// Reads and writes in turns on one update stream, with no seek between them:
// each write lands where the stream stands and each read sees what is there.
// Also the library's own seek, which skips a seek to where the stream
// stands, and its write at a place it has just sought.
TEST(FileLayer, UpdateStreamsTakeReadsAndWritesInTurns) {
  struct Step {
    // 'r': read `count` bytes, expecting `bytes`; 'w': write `bytes`; 's':
    // FileSeekTo `count`; 'h': FileWriteHere `bytes` at `count`; 'a':
    // another stream appends `bytes` to the file.
    char op;
    uint32_t count;
    std::string bytes;
    ErrCode code;
  };
  struct Case {
    std::vector<Step> steps;
    std::string file;
  };
  const Case cases[] = {
      {{{'r', 2, "01", 0}, {'w', 0, "AB", 0}, {'r', 2, "45", 0}}, "01AB456789"},
      {{{'w', 0, "AB", 0}, {'r', 2, "23", 0}, {'w', 0, "CD", 0}}, "AB23CD6789"},
      {{{'r', 9, "012345678", 0}, {'w', 0, "Z", 0}, {'r', 1, "", errFileEof}}, "012345678Z"},
      {{{'r', 12, "0123456789", errFileEof}, {'w', 0, "XY", 0}}, "0123456789XY"},
      // A stream that met the end seeks even to where it stands: glibc reads
      // nothing more until the indicator is cleared.
      {{{'r', 12, "0123456789", errFileEof},
        {'a', 0, "AB", 0},
        {'s', 10, "", 0},
        {'r', 2, "AB", 0}},
       "0123456789AB"},
      {{{'r', 3, "012", 0}, {'s', 3, "", 0}, {'h', 3, "XY", 0}, {'r', 2, "56", 0}}, "012XY56789"},
      {{{'s', 8, "", 0},
        {'h', 8, "ZZ", 0},
        {'s', 10, "", 0},
        {'h', 10, "W", 0},
        {'s', 1, "", 0},
        {'r', 1, "1", 0}},
       "01234567ZZW"},
  };
  std::string path = TempPath("turns.bin");
  for (const Case& c : cases) {
    WriteBytes(path, Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    File* f = nullptr;
    ASSERT_EQ(FileOpen(path.c_str(), "r+b", &f), 0u);
    for (const Step& s : c.steps) {
      char buf[16] = {};
      const uint32_t size = uint32_t(s.bytes.size());
      if (s.op == 'r') {
        EXPECT_EQ(FileRead(f, buf, s.count), s.code) << c.file;
        EXPECT_EQ(std::string(buf, fileLastReadCount), s.bytes) << c.file;
      } else if (s.op == 'w') {
        EXPECT_EQ(FileWrite(f, s.bytes.data(), size), s.code) << c.file;
      } else if (s.op == 's') {
        EXPECT_EQ(FileSeekTo(f, int32_t(s.count)), s.code) << c.file;
      } else if (s.op == 'h') {
        EXPECT_EQ(FileWriteHere(f, int32_t(s.count), s.bytes.data(), size), s.code) << c.file;
      } else {
        FILE* other = fopen(path.c_str(), "ab");
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(fwrite(s.bytes.data(), 1, size, other), size);
        EXPECT_EQ(fclose(other), 0);
      }
    }
    EXPECT_EQ(FileClose(f), 0u);
    Bytes got = ReadBytes(path);
    EXPECT_EQ(std::string(got.begin(), got.end()), c.file);
  }
  remove(path.c_str());
}

// No write makes a file of 2 GiB or more, which no size of the layer can
// express: one that would is refused whole, in every build.
TEST(FileLayer, WritesStopShortOf2GiB) {
  struct Case {
    int32_t at;
    uint32_t count;
    ErrCode code;
    int32_t size;  // of the file afterwards
  };
  const Case cases[] = {
      {INT32_MAX - 1, 1, 0, INT32_MAX},  {INT32_MAX - 1, 2, errFileWrite, 0},
      {INT32_MAX, 1, errFileWrite, 0},   {INT32_MAX, 0, 0, 0},
      {0, 0xFFFFFFFFu, errFileWrite, 0},
  };
  std::string path = TempPath("edge.bin");
  const char bytes[2] = {'a', 'b'};
  for (const Case& c : cases) {
    File* f = nullptr;
    ASSERT_EQ(FileOpen(path.c_str(), "w+b", &f), 0u);
    ASSERT_EQ(FileSeek(f, fileSeekStart, c.at), 0u);
    EXPECT_EQ(FileWrite(f, bytes, c.count), c.code) << c.at << " " << c.count;
    EXPECT_EQ(fileLastWriteCount, c.code == 0 ? c.count : 0u);
    int32_t size = -2;
    EXPECT_EQ(FileGetSize(f, &size), 0u);
    EXPECT_EQ(size, c.size) << c.at << " " << c.count;
    EXPECT_EQ(FileClose(f), 0u);
  }
  remove(path.c_str());
}

#ifndef _WIN32
// A disk that fills up part way through a write, made with the file size
// limit: fileLastWriteCount tells the bytes that reached the file, whether
// the stream took the write into its buffer or past it.
TEST(FileLayer, ShortWritesCountWhatReachedTheFile) {
  struct Case {
    uint32_t before, limit, count;
    ErrCode code;
  };
  const Case cases[] = {
      {0, 8, 16, errFileWrite},
      {0, 4100, 5000, errFileWrite},
      {100, 9000, 10000, errFileWrite},
      {5000, 9000, 70000, errFileWrite},
      {0, 9000, 5000, 0},
  };
  std::string path = TempPath("limit.bin");
  static const std::vector<char> bytes(70000, 'x');
  void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
  rlimit unlimited{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  for (const Case& c : cases) {
    File* f = nullptr;
    ASSERT_EQ(FileOpen(path.c_str(), "w+b", &f), 0u);
    ASSERT_EQ(FileWrite(f, bytes.data(), c.before), 0u);
    rlimit limit{c.limit, unlimited.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_EQ(FileWrite(f, bytes.data(), c.count), c.code) << c.limit << " " << c.count;
    uint32_t went = fileLastWriteCount;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    EXPECT_EQ(ftell(f), static_cast<long>(c.before + went));
    EXPECT_EQ(FileClose(f), 0u);
    EXPECT_EQ(ReadBytes(path).size(), c.before + went) << c.limit << " " << c.count;
  }
  signal(SIGXFSZ, handler);
  remove(path.c_str());
}
#endif

class FileWhole : public HeapTest {};

TEST_F(FileWhole, LoadsAndSavesThroughHandles) {
  std::string path = TempPath("whole.txt");
  Handle h = MemNewHandle(5), loaded = nullptr;
  memcpy(h->data, "hello", 5);
  MemLockHandle(h);
  EXPECT_EQ(FileSave(path.c_str(), h), 0u);
  EXPECT_EQ(MemGetFlags(h) & memFlagLocked, 0u);
  ASSERT_EQ(FileLoad(path.c_str(), &loaded), 0u);
  EXPECT_EQ(HandleText(loaded), "hello");
  MemDisposeHandle(loaded);
  if (kFullDevice != nullptr) {
    EXPECT_EQ(FileSave(kFullDevice, h), errFileWrite);
  }
  MemSetHandleSize(h, 0);
  EXPECT_EQ(FileSave(path.c_str(), h), 0u);
  ASSERT_EQ(FileLoad(path.c_str(), &loaded), 0u);
  EXPECT_EQ(MemGetHandleSize(loaded), 0u);
  MemDisposeHandle(loaded);
  EXPECT_EQ(MemNewHandle(0xFFFFFFF0u), nullptr);  // leaves a memory error standing
  EXPECT_EQ(FileSave(path.c_str(), h), errMemOutOfMemory);
  MemDisposeHandle(h);
  remove(path.c_str());
  EXPECT_EQ(FileLoad(path.c_str(), &loaded), errFileNotFound);
  EXPECT_EQ(loaded, nullptr);
  // A sparse file of 2 GiB: 64-bit builds refuse its size, 32-bit builds
  // cannot open it; either way nothing is loaded.
  ASSERT_TRUE(MakeSparse(path.c_str(), 0x80000000));
  ErrCode err = FileLoad(path.c_str(), &loaded);
  EXPECT_TRUE(err == errFileBounds || err == errFileNotFound) << err;
  File* f = nullptr;
  if (FileOpen(path.c_str(), "rb", &f) == 0) {
    EXPECT_EQ(FileSeek(f, fileSeekEnd, 0), errFileBounds);
    FileClose(f);
  }
  remove(path.c_str());
  EXPECT_EQ(BlocksInUse(), 0u);
}

}  // namespace
