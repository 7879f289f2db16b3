// Opening, describing and finishing resource files for the res commands.
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

// An open resource file.
struct ResFile {
  std::string name;                       // as given on the command line
  File* file = nullptr;                   // the stream the manager holds
  ByteOrder order = ByteOrder::kUnknown;  // of the file as it was stored
  uint64_t fileSize = 0;                  // in bytes, when opened
};

// Opens the resource file `name`, read-only or for writing ("r+b"). Returns
// 0, or the library's code (nothing is left open); a directory gives 0x4502.
ErrCode TryOpenResFile(const std::string& name, bool writable, ResFile* out);

// The same; any failure ends the program.
ResFile OpenResFile(const std::string& name, bool writable);

// The open file's directory, in native order (valid until the next
// allocation).
ResDirectory* DirectoryOf(const ResFile& res);

// Marks the open file changed, so that the next flush compacts its data area
// and rewrites its directory.
void MarkFileChanged(const ResFile& res);

// Writes the changes of an open file and closes it: ResFlushFile, the
// stream's own flush, ResCloseFile, each checked, then reopens the file to
// see that it reads back. Any failure ends the program.
void FinishWrite(ResFile& res);

// Closes a file that was only read.
void CloseRead(ResFile& res);

// Every resource, types in directory order and each type's by index.
std::vector<ResInfo> ListResources(const ResFile& res);

// Sum of the resources' sizes.
uint64_t DataInUse(const std::vector<ResInfo>& resources);

}  // namespace okr_tool

#endif
