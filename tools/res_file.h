// Opening, describing and finishing resource files for the res commands,
// and the names of resource types.
#ifndef OKR_TOOLS_RES_FILE_H
#define OKR_TOOLS_RES_FILE_H

#include <okr/okr.h>

#include <string>
#include <vector>

namespace okr_tool {

// The byte order a file's version word reads in.
enum class ByteOrder { kUnknown, kLittle, kBig };

ByteOrder NativeOrder();
// "little-endian", "big-endian" or "unknown".
const char* OrderName(ByteOrder order);
// The order in which `version` (as read from the file) reads 0x100.
ByteOrder OrderOfVersion(uint32_t version);

// A resource type: four characters, or "0x" and eight hex digits giving the
// four bytes in file order (0x54455854 is "TEXT"). Failing that:
// UsageFail(type TEXT, 0x4107), with what a type is.
uint32_t ParseType(const std::string& text);
// Whether `text` is a type ParseType takes.
bool IsTypeName(const std::string& text);
// "TEXT" (bytes outside printable ASCII shown as '.') and "0x54455854".
std::string TypeChars(uint32_t typeId);
std::string TypeHex(uint32_t typeId);
// "TEXT #2", for messages.
std::string ResourceName(uint32_t typeId, uint32_t index);

// `text` as a JSON string literal. A byte outside printable ASCII becomes
// \u00XX, the character of its number, so that any bytes give valid JSON;
// with `utf8`, text that is well-formed UTF-8 keeps those bytes instead.
std::string Json(const std::string& text, bool utf8);

// An open resource file.
struct ResFile {
  std::string name;                       // as given on the command line
  File* file = nullptr;                   // the stream the manager holds
  ByteOrder order = ByteOrder::kUnknown;  // of the file as it was stored
  uint64_t fileSize = 0;                  // in bytes, when opened
};

// Heap bytes, on top of the data, that an open file with `resources`
// resources may take: each resource's directory entry, data slot, scratch
// and staged record, and the copies of them made while the directory grows.
uint64_t DirectoryHeap(uint64_t resources);

// The number of resources the resource file `name` holds at most, read from
// the directory length in its header: each takes 24 bytes of it. 0 when the
// header cannot be read; the command that opens the file reports why.
uint64_t ResourcesIn(const std::string& name);

// ResourcesIn, counted at most one per entry's bytes of the file: a header
// that claims more is taken at the file's size (the open then says what is
// wrong), so that the heap is not sized for a directory the file cannot
// hold.
uint64_t EntriesIn(const std::string& name);

// Starts the library with a heap for the directory of the resource file
// `name` alone: DirectoryHeap of EntriesIn, and `bytesPerEntry` more per
// entry. A command that reads the directory only needs no more, however
// large the data (a 32-bit process has no heap for a file of a gigabyte or
// two).
void StartForDirectory(const std::string& name, uint64_t bytesPerEntry = 0);

// For a command that holds one resource of `res` at a time, whose size is
// known only once the directory is read: closes `res`, which was opened
// read-only, starts the library again with a heap for the directory and,
// once, `bytes` more, and opens the file again (for writing when
// `writable`). Any failure ends the program.
void RestartFor(ResFile& res, uint64_t bytes, bool writable);

// Opens the resource file `name`, read-only or for writing ("r+b"); any
// failure ends the program, with the system's reason where there is one (a
// directory fails with 0x4502).
ResFile OpenResFile(const std::string& name, bool writable);

// Creates `path` as an empty resource file, open for writing, named `name`
// in messages; any failure ends the program.
ResFile CreateResFile(const std::string& name, const std::string& path);

// The open file's directory, in native order (valid until the next
// allocation).
ResDirectory* DirectoryOf(const ResFile& res);

// Marks the open file changed, so that the next flush compacts its data area
// and rewrites its directory.
void MarkFileChanged(const ResFile& res);

// Writes the changes of an open file and closes it: ResFlushFile, the
// stream's own flush, ResCloseFile, each checked, then reopens the file
// (`path`, when it is not res.name) to see that it reads back. Any failure
// ends the program.
void FinishWrite(ResFile& res, const std::string& path = "");

// Closes a file that was only read; a failure ends the program.
void CloseRead(ResFile& res);

// The number of resources of `typeId` in the open file, or of its types;
// a failure ends the program.
uint32_t CountResources(const ResFile& res, uint32_t typeId);
uint32_t CountTypes(const ResFile& res);

// Every resource, types in directory order and each type's by index.
std::vector<ResInfo> ListResources(const ResFile& res);

// Sum of the resources' sizes.
uint64_t DataInUse(const std::vector<ResInfo>& resources);

}  // namespace okr_tool

#endif
