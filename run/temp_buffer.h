// The temporary buffer of an in-place run, and its replacement of the input.
#ifndef KIVEX_RUN_TEMP_BUFFER_H_
#define KIVEX_RUN_TEMP_BUFFER_H_

#include "buffer/cstring.h"
#include "buffer/file_stream.h"

// The directory for temporary buffers: TMP, else TEMP, else "."; ends with
// the separator. False after the report when memory for it runs out.
bool TempPath(cString& dir);

// Says that the input buffer changed during the run and is left as it is,
// and where the temporary buffer (if any, `tmpName`) stays.
void ReportInputChanged(const char* inputBuffer, const char* tmpName);

// Finds the first free name ~KIVTAAA.TMP ... ~KIVTZZZ.TMP in `dir`, trying
// candidates from number `candidate` on (0 = AAA) and leaving it at the one
// found. False after the report when none is free.
bool FindTmpFileName(const cString& dir, cString& name, int& candidate);

// Opens `out` with mode "wb" on a new temporary buffer in `dir`. The file
// is created exclusively and owner-only: a name taken since the probe is
// skipped. False after the report.
bool OpenTmpOutFile(const cString& dir, cFileStream& out);

// Gives the closed, complete temporary buffer the input buffer's name,
// atomically: the input holds its old bytes or the new ones, never neither.
// A link is followed: the file it points to is replaced. The result takes
// the input's permission bits and, where allowed, its owner and group (on
// Windows its access list and attributes, the archive attribute set).
// Across file systems the result is first copied next to the replaced file.
// False after the report, which says whether the input is unchanged
// (checked against `held` as opened) and where the result is: the temporary
// buffer keeps it. `held`, the input still open (or null), stays so until
// the rename where the system can rename over an open file; else it is
// closed just before.
bool ReplaceByTmpFile(const char* inputBuffer, const char* tmpName, cFileStream* held);

#endif  // KIVEX_RUN_TEMP_BUFFER_H_
