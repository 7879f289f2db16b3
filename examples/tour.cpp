// A short tour of okr on the bundled sample data: handles that survive
// compaction, a settings file read with the program's variables, and a
// resource file read, then written, changed, compacted and read again.
#include <okr/okr.h>

#include <cstdio>
#include <cstring>

static int Fail(const char* what, ErrCode code) {
  std::fprintf(stderr, "%s: 0x%04X %s\n", what, code, ErrGetText(code));
  return 1;
}

static void PrintHeap(const char* when) {
  MemHeapInfo info{};
  MemGetHeapInfo(nullptr, &info);
  std::printf("  %-28s %5u in use, %3u free blocks, %8u free bytes, largest %8u\n", when,
              info.blocksInUse, info.blocksFree, info.freeBytes, info.largestFree);
}

// Fills a heap with blocks, frees every other one and asks for a block
// larger than any gap: the heap compacts, and every handle still finds its
// (moved) contents.
static int TourMemory() {
  std::printf("memory manager\n");
  // Room for 256 descriptors up front: pool extensions are locked blocks
  // that compaction cannot move past.
  Heap* heap = nullptr;
  if (ErrCode err = MemNewHeap(nullptr, 256, nullptr, 256 * 1024, &heap)) {
    return Fail("MemNewHeap", err);
  }
  MemSetHeap(heap);
  Handle blocks[200];
  int count = 0;
  while (count < 200 && (blocks[count] = MemNewHandle(1000)) != nullptr) {
    std::snprintf(static_cast<char*>(blocks[count]->data), 1000, "block %d", count);
    ++count;
  }
  PrintHeap("filled:");
  for (int i = 1; i < count; i += 2)
    MemDisposeHandle(blocks[i]);
  PrintHeap("every other block freed:");
  Handle big = MemNewHandle(60000);
  if (big == nullptr) return Fail("MemNewHandle", MemGetError());
  PrintHeap("after a 60000-byte request:");
  std::printf("  block 42 still reads \"%s\" at its new address\n",
              static_cast<char*>(blocks[42]->data));
  if (ErrCode err = MemSetHandleSize(big, 90000)) return Fail("MemSetHandleSize", err);
  std::printf("  resized to %u bytes; heap check: %s\n", MemGetHandleSize(big),
              ErrGetText(MemCheckHeap(nullptr)));
  MemDisposeAllHeaps();
  return 0;
}

// Reads the sample settings file; its numbers are expressions over the
// variables defined here.
static int TourSettings() {
  std::printf("\nsettings file (settings.txt)\n");
  SymbolTable* vars = nullptr;
  if (ErrCode err = SymNewTable(&vars)) return Fail("SymNewTable", err);
  SymAddInt(&vars, "screenWidth", 1280);
  SymAddInt(&vars, "screenHeight", 720);
  SymAddFloat(&vars, "scale", 2.0f);
  exprSymbolTable = vars;

  Handle text = nullptr;
  TextStream* s = nullptr;
  if (ErrCode err = FileLoad(":settings.txt", &text)) return Fail("FileLoad", err);
  if (ErrCode err = TxtNewStream(text, &s)) return Fail("TxtNewStream", err);
  char title[64];
  uint32_t passed = 0;
  if (TxtFindKeyword(s, "title", &passed) && TxtReadString(s, title, sizeof title) == 0) {
    std::printf("  %-8s %s\n", "title", title);
  }
  const char* const numbers[] = {"width", "height", "tile", "columns", "border", "tag", "speed"};
  for (const char* name : numbers) {
    int32_t value = 0;
    if (!TxtFindKeyword(s, name, &passed)) continue;
    if (ErrCode err = TxtReadInt(s, &value)) {
      uint32_t line = 0, column = 0;
      TxtGetLocation(s, &line, &column);
      std::printf("  settings.txt:%u:%u: %s\n", line, column, ErrGetText(err));
      continue;
    }
    std::printf("  %-8s %d\n", name, value);
  }
  TxtDisposeStream(&s);
  // Lines typed at a console: each a whole expression, from a C string.
  const char* const typedLines[] = {"(screenWidth - 64) / scale", "screenHeight 2"};
  for (const char* typed : typedLines) {
    ExprValue value;
    uint32_t at = 0;
    if (ErrCode err =
            ExprEvaluateText(typed, static_cast<uint32_t>(std::strlen(typed)), &value, &at)) {
      std::printf("  typed    %s: %s at offset %u\n", typed, ErrGetText(err), at);
    } else if (value.type == ExprTypeFloat) {
      std::printf("  typed    %s = %g\n", typed, static_cast<double>(value.value.f));
    } else {
      std::printf("  typed    %s = %d\n", typed, static_cast<int>(value.value.i));
    }
  }
  SymDisposeTable(&vars);
  return 0;
}

constexpr uint32_t kText = OKR_RES_TYPE('T', 'E', 'X', 'T');
constexpr uint32_t kConf = OKR_RES_TYPE('C', 'O', 'N', 'F');

static void ListResources(File* file) {
  uint32_t types = 0;
  ResCountTypes(file, &types);
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    ResGetTypeId(file, t, &typeId);
    ResCountResources(file, typeId, &count);
    for (uint32_t i = 0; i < count; ++i) {
      ResInfo info{};
      ResGetIndexedInfo(file, typeId, i, &info);
      std::printf("  %.4s #%u: %5u bytes at data offset %5u\n",
                  reinterpret_cast<const char*>(&typeId), i, info.dataSize, info.dataOffset);
    }
  }
}

static Handle NewText(const char* text) {
  Handle h = MemNewHandle(static_cast<uint32_t>(std::strlen(text)));
  if (h != nullptr) std::memcpy(h->data, text, std::strlen(text));
  return h;
}

// Creates a resource file next to the sample data, fills it, changes one
// resource so that it grows, and reads everything back after closing.
static int TourResources() {
  std::printf("\nresource file (tour.res)\n");
  File* file = nullptr;
  if (ErrCode err = ResCreateFile(":tour.res", &file)) return Fail("ResCreateFile", err);
  ResAddResource(file, kText, NewText("Hello from a resource file."));
  ResAddResource(file, kText, NewText("A second text."));
  Handle settings = nullptr;
  if (FileLoad(":settings.txt", &settings) == 0) ResAddResource(file, kConf, settings);
  if (ErrCode err = ResCloseFile(file)) return Fail("ResCloseFile", err);

  if (ErrCode err = ResOpenNamedFile(":tour.res", &file)) return Fail("ResOpenNamedFile", err);
  std::printf(" written and reopened read-only:\n");
  ListResources(file);
  ResCloseFile(file);

  // Grow the first text: it moves to the end of the data area until the
  // close compacts the file.
  FileOpen(":tour.res", "r+b", &file);
  ResOpenFile(file, 0);
  Handle first = nullptr;
  if (ErrCode err = ResLoadResource(file, kText, 0, &first)) {
    return Fail("ResLoadResource", err);
  }
  const char more[] = " It grew by a sentence.";
  uint32_t size = MemGetHandleSize(first);
  if (MemSetHandleSize(first, size + sizeof more - 1) == 0) {
    std::memcpy(static_cast<char*>(first->data) + size, more, sizeof more - 1);
    ResMarkChanged(first);
  }
  ResCloseFile(file);

  ResOpenNamedFile(":tour.res", &file);
  std::printf(" after growing TEXT #0 and closing (compacted):\n");
  ListResources(file);
  Handle text = nullptr;
  if (ResLoadResource(file, kText, 0, &text) == 0) {
    std::printf("  TEXT #0 reads \"%.*s\"\n", static_cast<int>(MemGetHandleSize(text)),
                static_cast<char*>(text->data));
  }
  ResCloseFile(file);
  std::remove("tour.res");
  return 0;
}

int main() {
  std::printf("okr tour\n\n");
  if (TourMemory() != 0) return 1;
  // The rest runs in a started library: a default heap of 1 MiB.
  if (ErrCode err = SysStart(nullptr, 0x100000, 0)) return Fail("SysStart", err);
  if (TourSettings() != 0 || TourResources() != 0) return 1;
  std::printf("\nheap check at the end: %s\n", ErrGetText(MemCheckHeap(nullptr)));
  SysShutdown();
  return 0;
}
