// The BMP face file: 446 bytes, 48x48 pixels at 1 bit, white and black.
#ifndef KIVEX_FACE_BMP_H_
#define KIVEX_FACE_BMP_H_

#include "buffer/cstring.h"
#include "face/xface.h"

const int kBmpFileSize = 446;

// Writes the BMP file of `bitmap` into bytes 0 to 445 of `oBMP`.
// REQUIRES: oBMP has been resized to 447 bytes.
void FillBmp(const FaceBitmap& bitmap, cString& oBMP);

#endif  // KIVEX_FACE_BMP_H_
