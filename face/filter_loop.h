// The loop over one buffer: copy each message, decode its face, insert the
// face message or store the face file.
#ifndef KIVEX_FACE_FILTER_LOOP_H_
#define KIVEX_FACE_FILTER_LOOP_H_

#include <cstdint>

#include "buffer/cstring.h"
#include "buffer/file_stream.h"
#include "face/known_faces.h"

struct RunCounters {
  int32_t msgsRead = 0;
  int32_t faceMsgsWritten = 0;
  int32_t facesTotal = 0;  // messages with a non-empty X-Face, decodable or not
  int32_t facesWritten = 0;
  int32_t facesDuplicate = 0;
};

// Filters the whole input buffer. Insertion happens when `out` is open,
// extraction when `extract` is set; a message already followed by its face
// message (a buffer filtered before) gets no second one. A face that does
// not decode is reported and skipped; any other failure stops the loop.
// True after the whole buffer; false after a failure, which has been
// reported.
bool FilterBuffer(bool extract, cFileStream& in, cFileStream& out, const cString& extractDir,
                  KnownFaceSet& known, RunCounters& counters);

#endif  // KIVEX_FACE_FILTER_LOOP_H_
