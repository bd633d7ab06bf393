// Storing faces in the extraction directory as KIVO0000.BMP to KIVO9999.BMP.
#ifndef KIVEX_FACE_FACE_EXTRACT_H_
#define KIVEX_FACE_FACE_EXTRACT_H_

#include "buffer/cstring.h"

// Writes the 446 BMP bytes of `oBMP` into a new file under the next free
// number of the run. A name that exists is never overwritten. True when the
// file is complete and closed; false after the report (a file that could
// not be completed is removed again).
// REQUIRES: `extractDir` ends with the separator.
bool WriteFaceFile(const cString& extractDir, const cString& oBMP);

// The name of the file written or probed last.
const char* LastFaceFileName();

// Starts the numbering anew from 0000, as a new process would.
void RestartFaceFileNumbers();

#endif  // KIVEX_FACE_FACE_EXTRACT_H_
