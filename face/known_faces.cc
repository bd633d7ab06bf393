#include "face/known_faces.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "buffer/log.h"

namespace {

// A face file (446 bytes) is covered whole.
const size_t kPrintBytes = 1024;

uint64_t gCrcTable[256];
bool gCrcTableBuilt = false;

void BuildCrcTable() {
  for (int i = 0; i < 256; ++i) {
    uint64_t v = static_cast<uint64_t>(i);
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ 0xD800000000000000ULL : v >> 1;
    gCrcTable[i] = v;
  }
  gCrcTableBuilt = true;
}

}  // namespace

const char kNoMemoryForFaces[] = "Kein Speicher fuer die bekannten Faces\n";

uint64_t Crc64(uint64_t crc, const unsigned char* bytes, size_t size) {
  if (!gCrcTableBuilt) BuildCrcTable();
  for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ gCrcTable[(crc ^ bytes[i]) & 0xFF];
  return crc;
}

bool ContainsFingerprint(const KnownFaceSet& set, FaceFingerprint print) {
  for (uint32_t i = 0; i < set.count; ++i) {
    if (set.items[i] == print) return true;
  }
  return false;
}

bool AddFingerprint(KnownFaceSet& set, FaceFingerprint print) {
  if (set.count >= set.capacity) {
    size_t entries = static_cast<size_t>(set.count) + static_cast<size_t>(set.growStep);
    void* grown = platform::Reallocate(set.items, entries * sizeof(FaceFingerprint));
    if (grown == nullptr) return false;
    set.items = static_cast<FaceFingerprint*>(grown);
    set.capacity += static_cast<uint32_t>(set.growStep);
  }
  set.items[set.count++] = print;
  return true;
}

void FreeKnownFaceSet(KnownFaceSet& set) {
  free(set.items);
  set.items = nullptr;
  set.count = set.capacity = 0;
}

bool PrepareExtractionDir(cString& extractDir, KnownFaceSet& set) {
  bool isDirectory = false;
  int err = platform::StatPath(extractDir.Text(), &isDirectory);
  if (err != 0) {
    LogMsg(stderr, "Das angegebene Extraktionsverzeichnis %s existiert nicht\n", extractDir.Text());
    LogMsg(stderr, "%s (%d)\n", platform::ErrorText(err), err);
    return false;
  }
  if (!isDirectory) {
    LogMsg(stderr, "Das angegebene Extraktiosverzeichnis %s ist kein Verzeichnis\n",
           extractDir.Text());
    return false;
  }
  int32_t size = extractDir.Size();
  if ((size == 0 || extractDir.Data[size - 1] != platform::kSeparator) &&
      !extractDir.Append(&platform::kSeparator, 1)) {
    LogMsg(stderr, "%s", kNoMemoryForFaces);
    return false;
  }
  return LoadKnownFaces(extractDir, set);
}

bool LoadKnownFaces(const cString& dir, KnownFaceSet& set) {
  platform::cDirListing listing;
  if (!listing.Start(dir.Text())) return true;
  cString path;
  for (const char* name = listing.Next(); name != nullptr; name = listing.Next()) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (!path.Assign(dir.Text()) || !path.Append(name, static_cast<int32_t>(strlen(name)))) {
      LogMsg(stderr, "%s", kNoMemoryForFaces);
      return false;
    }
    if (!AddFileFingerprint(path.Text(), set)) return false;
  }
  return true;
}

bool AddFileFingerprint(const char* path, KnownFaceSet& set) {
  FILE* file = platform::OpenRegular(path);
  if (file == nullptr) {
    LogMsg(stderr, "fopen(%s) failed\n", path);
    return false;
  }
  unsigned char head[kPrintBytes];
  size_t size = fread(head, 1, sizeof head, file);
  if (ferror(file)) {
    LogMsg(stderr, "%s", "read() failed\n");
    fclose(file);
    return false;
  }
  fclose(file);
  FaceFingerprint print = Crc64(0, head, size);
  if (!ContainsFingerprint(set, print) && !AddFingerprint(set, print)) {
    // A face not known would be stored a second time.
    LogMsg(stderr, "%s", kNoMemoryForFaces);
    return false;
  }
  return true;
}
