// Error texts: the one message table shared by every module.

#include <okr/err.h>

// Every pair in ascending code order; the null pair ends the table.
const ErrMessage errMessages[] = {
    {0x0000, "No Error"},
    {0x0001, "End Of Line"},
    {0x0002, "End of File"},
    {0x4001, "Bad Preferences"},
    {0x4002, "Pseudo Op Reserved"},
    {0x4003, "Unused Parameter"},
    {0x4101, "Nil Pointer"},
    {0x4102, "Failed to allocate system memory"},
    {0x4103, "Uknown Token"},
    {0x4104, "Unsupported feature"},
    {0x4105, "Incomplete Token Usage"},
    {0x4106, "Version Mismatch"},
    {0x4107, "Bad Data"},
    {0x4108, "Bad Index"},
    {0x4109, "Bad startup order"},
    {0x410A, "Bad shutdown order"},
    {0x4201, "Syntax Error"},
    {0x4202, "Divide by Zero"},
    {0x4203, "Mis-Balanced Parenthesis"},
    {0x4204, "No Such Variable"},
    {0x4205, "Invalid Variable"},
    {0x4206, "Missing Parameter"},
    {0x4207, "Bad Macro definition"},
    {0x4208, "Bad Macro Parameter"},
    {0x4209, "No Such Macro"},
    {0x420A, "Macro Parameter to large"},
    {0x420B, "Bad Macro Paramenter count"},
    {0x420C, "Previously Defined"},
    {0x420D, "Overflow"},
    {0x420E, "File is missing"},
    {0x4282, "data (hash?) table full"},
    {0x4283, "Out of memory"},
    {0x4284, "Unable to Save"},
    {0x4285, "Too Many Errors"},
    {0x4301, "FONT: Not defined in font config file"},
    {0x4302, "FONT: Rnd of border not found @ start of image"},
    {0x4303, "FONT: No bottom border for character"},
    {0x4304, "FONT: No right border for character"},
    {0x4305, "FONT: chars in image don't match chars in config def"},
    {0x4401, "SND: Not Started"},
    {0x4402, "SND: Already started"},
    {0x4403, "SND: Not found"},
    {0x4404, "SND: Reference not found"},
    {0x4405, "SND: Invalid channel"},
    {0x4406, "SND: Max memory exceeded"},
    {0x4407, "SND: Max channels exceeded"},
    {0x4408, "SND: Max files exceeded"},
    {0x4501, "FILE: Not started"},
    {0x4502, "FILE: File not found"},
    {0x4503, "FILE: End of file (EOF)"},
    {0x4504, "FILE: Unable to read data"},
    {0x4505, "FILE: Unable to write data"},
    {0x4506, "FILE: Access outside bounds"},
    {0x4507, "FILE: Can't read console"},
    {0x4508, "FILE: Unsupported access"},
    {0x4581, "RES: Not Started"},
    {0x4582, "RES: File not found"},
    {0x4583, "RES: Resource not found"},
    {0x4584, "RES: Invalid attributes"},
    {0x4585, "RES: Invalid file"},
    {0x4586, "RES: Rsrc already in file"},
    {0x4587, "RES: File already native endian"},
    {0x4601, "MEM: Not started"},
    {0x4602, "MEM: Heap is not valid"},
    {0x4603, "MEM: Out of memory"},
    {0x4604, "MEM: Nil Handle"},
    {0x4605, "MEM: Nil Pointer"},
    {0x4606, "MEM: Handle/Pointer not in heap"},
    {0x4607, "MEM: Invalid Handle"},
    {0x4608, "MEM: Invalid Pointer"},
    {0x4609, "MEM: Locked handle (resize, purge, etc.)"},
    {0x460A, "MEM: Use res manager to dispose of resource data"},
    {0x460B, "MEM: Handle's Header ID tag was bad (overwritten?)"},
    {0x460C, "MEM: Handle's Epilog ID is bad (overwritten?)"},
    {0x460D, "MEM: Pointer has a bad header (not referencing handle)"},
    {0x460E, "MEM: Handle's Master Tag ID is not valid"},
    {0, nullptr},
};

static_assert(sizeof(errMessages) / sizeof(errMessages[0]) == 77, "76 pairs and the null pair");

// Binary search: the table is sorted by code.
const char* ErrGetText(ErrCode code) {
  size_t lo = 0;
  size_t hi = sizeof(errMessages) / sizeof(errMessages[0]) - 1;  // skip the null pair
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (errMessages[mid].code < code) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo < sizeof(errMessages) / sizeof(errMessages[0]) - 1 && errMessages[lo].code == code) {
    return errMessages[lo].text;
  }
  return "Unknown error code";
}
