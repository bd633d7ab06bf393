// The fingerprints of the faces stored in the extraction directory, so that
// every distinct face is stored once. Faces are told apart by a CRC-64 of
// their BMP file bytes.
#ifndef KIVEX_FACE_KNOWN_FACES_H_
#define KIVEX_FACE_KNOWN_FACES_H_

#include <cstddef>
#include <cstdint>

#include "buffer/cstring.h"

typedef uint64_t FaceFingerprint;

struct KnownFaceSet {
  int32_t growStep = 200;
  uint32_t count = 0;
  uint32_t capacity = 0;
  FaceFingerprint* items = nullptr;
};

// CRC-64 with the ISO 3309 polynomial, reflected, no final exclusive-or.
uint64_t Crc64(uint64_t crc, const unsigned char* bytes, size_t size);

bool ContainsFingerprint(const KnownFaceSet& set, FaceFingerprint print);
// REQUIRES: `print` is not in the set. False when the set cannot grow.
bool AddFingerprint(KnownFaceSet& set, FaceFingerprint print);
void FreeKnownFaceSet(KnownFaceSet& set);

// Checks that `extractDir` is a directory, gives it its trailing separator
// and fingerprints every entry in it. False after the report.
bool PrepareExtractionDir(cString& extractDir, KnownFaceSet& set);
// REQUIRES: `dir` ends with the separator.
bool LoadKnownFaces(const cString& dir, KnownFaceSet& set);
// Fingerprints the first 1024 bytes of one file; adds the print when new.
// Anything but a regular file is refused unopened: a FIFO would hold the
// run (and the buffer with it) until somebody writes into it.
bool AddFileFingerprint(const char* path, KnownFaceSet& set);

// Reported when the set cannot grow.
extern const char kNoMemoryForFaces[];

#endif  // KIVEX_FACE_KNOWN_FACES_H_
