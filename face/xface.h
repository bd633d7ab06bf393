// X-Face decoding: the X-Face header of a message becomes the BMP face file.
#ifndef KIVEX_FACE_XFACE_H_
#define KIVEX_FACE_XFACE_H_

#include <cstdint>

#include "buffer/cstring.h"
#include "buffer/xp_msg.h"

// The 48x48 face raster: 48 rows of 6 bytes, top row first; the most
// significant bit is the leftmost pixel, 1 is black.
struct FaceBitmap {
  uint8_t bytes[288];
};

// Copies the value of the message's first header named X-Face (in any
// letter case) into `value`, or leaves `value` empty. False after the
// report when memory for the copy runs out.
bool FindFaceHeader(const cXPMsg& msg, cString& value);

// Why a face did not decode.
enum FaceFailure {
  kFaceDecoded = 0,
  kFaceNoMemory,      // the work buffer could not be had: the run cannot go on
  kFaceUncompress,    // uncompface returned a status (`rc`)
  kFaceBadWord,       // a token of its text holds no number
  kFaceTooManyWords,  // more than 144 words
};

// Decompresses a non-empty X-Face value into `bitmap`. Reports nothing; *rc
// receives uncompface's status.
FaceFailure DecompressFace(const char* value, FaceBitmap& bitmap, int* rc);
// The one report of a failure, on standard error.
void ReportFaceFailure(FaceFailure failure, int rc);

// Decompresses a non-empty X-Face value and fills `oBMP` with the BMP face
// file. False after the reason was reported on standard error.
bool DecodeFace(const cString& value, cString& oBMP);
// Fills `oBMP` with the BMP file of a decoded bitmap. False after the report.
bool MakeFaceImage(const FaceBitmap& bitmap, cString& oBMP);

// Parses the hexadecimal text that uncompface writes (tokens separated by
// ',', LF and CR; at most 144 words) into `bitmap`, which the caller has
// cleared. `text` is split in place.
FaceFailure ParseFaceHex(char* text, FaceBitmap& bitmap);

// Reads one token the way the scanning conversion "%x" does. False when it
// holds no number.
bool ScanHexWord(const char* token, uint32_t* word);

#endif  // KIVEX_FACE_XFACE_H_
