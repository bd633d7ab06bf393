#include "face/filter_loop.h"

#include <cstring>

#include "buffer/console_text.h"
#include "buffer/xp_msg.h"
#include "face/bmp.h"
#include "face/face_cache.h"
#include "face/face_extract.h"
#include "face/face_message.h"
#include "face/xface.h"
#include "buffer/log.h"
#include "platform/env.h"

namespace {

// The values of the lines named `name` (in any case), in order, are the
// same in both lists.
bool SameLines(const cHeaders& a, const cHeaders& b, const char* name) {
  int32_t i = 0, j = 0;
  for (;; ++i, ++j) {
    while (i < a.Count() && !EqualsIgnoreCase(a.At(i)->Name.Text(), name)) ++i;
    while (j < b.Count() && !EqualsIgnoreCase(b.At(j)->Name.Text(), name)) ++j;
    if (i == a.Count() || j == b.Count()) return i == a.Count() && j == b.Count();
    const cString& x = a.At(i)->Value;
    const cString& y = b.At(j)->Value;
    if (x.Size() != y.Size() || memcmp(x.Text(), y.Text(), static_cast<size_t>(x.Size())) != 0)
      return false;
  }
}

// Whether `next`, the message behind a face's source, is the face message
// `oXPMsgBMP` already, but for its own MID (new every run): the same TYP,
// FILE and BEZ lines and the same body. *failed after the reader's report
// that the body could not be had.
bool IsFaceMsgAlready(cXPMsg& next, const cXPMsg& oXPMsgBMP, bool* failed) {
  uint64_t size = static_cast<uint64_t>(oXPMsgBMP.Body.Size());
  // The length first: any other message stays untouched, its body pending.
  uint64_t length =
      next.BodyPending > 0 ? next.BodyPending : static_cast<uint64_t>(next.Body.Size());
  if (length != size) return false;
  if (!next.LoadHeaders()) {
    *failed = next.NoMemory;  // a message whose records memory refused ends the run
    return false;
  }
  if (!SameLines(next.Headers, oXPMsgBMP.Headers, "TYP") ||
      !SameLines(next.Headers, oXPMsgBMP.Headers, "FILE") ||
      !SameLines(next.Headers, oXPMsgBMP.Headers, "BEZ"))
    return false;
  if (!next.HoldBody()) {
    *failed = true;
    return false;
  }
  return memcmp(next.Body.Data, oXPMsgBMP.Body.Data, static_cast<size_t>(size)) == 0;
}

// Stores a face not seen before in the extraction directory. False after
// the report.
bool StoreFace(const cString& oBMP, const cString& extractDir, KnownFaceSet& known,
               RunCounters& counters) {
  FaceFingerprint print = Crc64(0, reinterpret_cast<const unsigned char*>(oBMP.Data), kBmpFileSize);
  if (ContainsFingerprint(known, print)) {
    ++counters.facesDuplicate;
    return true;
  }
  if (!AddFingerprint(known, print)) {
    LogMsg(stderr, "%s", kNoMemoryForFaces);
    return false;
  }
  if (!WriteFaceFile(extractDir, oBMP)) return false;
  ++counters.facesWritten;
  return true;
}

// The line behind the report of a damaged message or of a face that does
// not decode: the buffer, the message's offset and, where it has them, its
// BET and MID, so that the user finds it. Of a header block refused half
// read, what had been taken.
void ReportWhere(const cFileStream& in, cXPMsg& msg) {
  msg.LoadHeaders();  // lines passed on as read have no records yet
  PrintText(stderr, "Nachricht at %llX im Puffer %s", static_cast<unsigned long long>(msg.OfsStart),
            in.FileName != nullptr ? in.FileName : "");
  const char* open = " (";
  for (const char* name : {"BET", "MID"}) {
    for (int32_t i = 0; i < msg.Headers.Count(); ++i) {
      const cString& field = msg.Headers.At(i)->Name;
      if (!EqualsIgnoreCase(field.Text(), name)) continue;
      const cString& value = msg.Headers.At(i)->Value;
      size_t size = static_cast<size_t>(value.Size());
      fprintf(stderr, "%s%s: ", open, name);
      WriteSafeText(stderr, value.Text(), size < kConsoleBytes ? size : kConsoleBytes, true);
      if (size > kConsoleBytes) fprintf(stderr, "... (%llu Bytes)", static_cast<unsigned long long>(size));
      open = ", ";
      break;
    }
  }
  LogMsg(stderr, "%s: diese Nachricht reparieren oder aus dem Puffer entfernen, dann Kivex "
         "erneut aufrufen\n", open[0] == ',' ? ")" : "");
}

}  // namespace

bool FilterBuffer(bool extract, cFileStream& in, cFileStream& out, const cString& extractDir,
                  KnownFaceSet& known, RunCounters& counters) {
  cXPMsg msg;
  cXPMsg oXPMsgBMP;
  cString faceValue;
  cString oBMP;
  cFaceCache faces;
  // Without a log file the reader's diagnostics go to the console, so that
  // the closing error line never stands alone.
  FILE* log = oLogFile.File != nullptr ? oLogFile.File : stderr;
  bool insert = out.File != nullptr;

  int read = msg.ReadMsg(in.File, log);
  while (read == 0) {
    if (platform::Interrupted()) {
      LogMsg(stderr, "%s", kInterrupted);
      return false;
    }
    ++counters.msgsRead;
    if (insert && msg.WriteRawMsg(out.Writer, stderr) != 0) {
      if (msg.BodyShort) break;  // the reader's failure, found while copying
      return false;
    }
    bool built = false;
    if (!FindFaceHeader(msg, faceValue)) return false;
    if (!faceValue.Empty()) {
      ++counters.facesTotal;
      if (faces.Decode(faceValue, oBMP)) {
        if (insert) {
          int made = BuildFaceMsg(oBMP, msg, oXPMsgBMP);
          if (made == kFaceMsgFailed) return false;
          built = made == kFaceMsgBuilt;
        }
        if (extract && !StoreFace(oBMP, extractDir, known, counters)) return false;
      } else if (faces.OutOfMemory()) {
        return false;
      } else {
        ReportWhere(in, msg);
      }
    }
    read = msg.ReadMsg(in.File, log);
    if (!built) continue;
    // A buffer filtered before has the face message behind its source
    // already: it goes on alone. Where the input ends or fails, the face
    // message is written as it always was, before the error is reported.
    bool failed = false;
    if (read == 0 && IsFaceMsgAlready(msg, oXPMsgBMP, &failed)) continue;
    if (oXPMsgBMP.WriteRawMsg(out.Writer, stderr) != 0) return false;
    ++counters.faceMsgsWritten;
    // The next message's body could not be had: it must not be written.
    if (failed) read = 1;
  }
  if (msg.InputChanged()) {
    // Whole messages went out; the run's check of the input reports it.
    in.NoteChanged();
    return true;
  }
  if (read == 1 || msg.BodyShort) {
    if (msg.Damaged) ReportWhere(in, msg);
    LogMsg(stderr, "%s", "Es ist ein Fehler aufgetreten, siehe Logdatei\n");
    if (oLogFile.File != nullptr) msg.MsgDump(oLogFile.File);
    return false;
  }
  return true;
}
