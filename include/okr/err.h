/* okr error codes: one numbering for every module, one text for each code. */
#ifndef OKR_ERR_H
#define OKR_ERR_H

#include <okr/types.h>

OKR_BEGIN_DECLS

enum {
  errNone = 0x0000,
  errEndOfLine = 0x0001,
  errEndOfFile = 0x0002,
  /* preferences and pseudo operations (reserved) */
  errBadPreferences = 0x4001,
  errPseudoOpReserved = 0x4002,
  errUnusedParameter = 0x4003,
  /* general */
  errNilPointer = 0x4101,
  errNoSystemMemory = 0x4102,
  errUnknownToken = 0x4103,
  errUnsupported = 0x4104,
  errIncompleteToken = 0x4105,
  errVersionMismatch = 0x4106,
  errBadData = 0x4107,
  errBadIndex = 0x4108,
  errBadStartupOrder = 0x4109,
  errBadShutdownOrder = 0x410A,
  /* expression evaluator and macro preprocessor */
  errSyntax = 0x4201,
  errDivideByZero = 0x4202,
  errParenthesis = 0x4203,
  errNoSuchVariable = 0x4204,
  errInvalidVariable = 0x4205,
  errMissingParameter = 0x4206,
  errBadMacroDefinition = 0x4207,
  errBadMacroParameter = 0x4208,
  errNoSuchMacro = 0x4209,
  errMacroParameterTooLarge = 0x420A,
  errBadMacroParameterCount = 0x420B,
  errPreviouslyDefined = 0x420C,
  errOverflow = 0x420D,
  errFileMissing = 0x420E,
  /* data tables and saving */
  errTableFull = 0x4282,
  errOutOfMemory = 0x4283,
  errUnableToSave = 0x4284,
  errTooManyErrors = 0x4285,
  /* fonts (reserved) */
  errFontNotDefined = 0x4301,
  errFontBorderStart = 0x4302,
  errFontNoBottomBorder = 0x4303,
  errFontNoRightBorder = 0x4304,
  errFontCharsMismatch = 0x4305,
  /* sound (reserved) */
  errSndNotStarted = 0x4401,
  errSndAlreadyStarted = 0x4402,
  errSndNotFound = 0x4403,
  errSndReferenceNotFound = 0x4404,
  errSndInvalidChannel = 0x4405,
  errSndMaxMemory = 0x4406,
  errSndMaxChannels = 0x4407,
  errSndMaxFiles = 0x4408,
  /* file layer */
  errFileNotStarted = 0x4501,
  errFileNotFound = 0x4502,
  errFileEof = 0x4503,
  errFileRead = 0x4504,
  errFileWrite = 0x4505,
  errFileBounds = 0x4506,
  errFileConsole = 0x4507,
  errFileUnsupported = 0x4508,
  /* Raised by the resource manager for a write to a read-only file; it has
     no text of its own. */
  errResReadOnly = 0x4509,
  /* resource manager */
  errResNotStarted = 0x4581,
  errResFileNotFound = 0x4582,
  errResNotFound = 0x4583,
  errResAttributes = 0x4584,
  errResInvalidFile = 0x4585,
  errResAlreadyInFile = 0x4586,
  errResAlreadyNative = 0x4587,
  /* memory manager */
  errMemNotStarted = 0x4601,
  errMemBadHeap = 0x4602,
  errMemOutOfMemory = 0x4603,
  errMemNilHandle = 0x4604,
  errMemNilPointer = 0x4605,
  errMemNotInHeap = 0x4606,
  errMemInvalidHandle = 0x4607,
  errMemInvalidPointer = 0x4608,
  errMemLocked = 0x4609,
  errMemResourceData = 0x460A,
  errMemBadHeaderTag = 0x460B,
  errMemBadEpilogTag = 0x460C,
  errMemBadOwner = 0x460D,
  errMemBadMasterTag = 0x460E
};

/* One pair of the message table. */
typedef struct ErrMessage {
  ErrCode code;
  const char* text;
} ErrMessage;

/* The message table: every pair in ascending code order, the last of them
   {0, NULL}. */
OKR_API extern const ErrMessage errMessages[];

/* The text of `code`, or "Unknown error code" for a code without a pair
   (0x4509 among them). Never NULL. */
OKR_API const char* ErrGetText(ErrCode code);

OKR_END_DECLS

#endif
