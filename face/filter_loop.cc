#include "face/filter_loop.h"

#include "buffer/xp_msg.h"
#include "face/bmp.h"
#include "face/face_cache.h"
#include "face/face_extract.h"
#include "face/face_message.h"
#include "face/xface.h"
#include "buffer/log.h"

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

  int read;
  while ((read = msg.ReadMsg(in.File, log)) == 0) {
    ++counters.msgsRead;
    if (insert && msg.WriteRawMsg(out.Writer, stderr) != 0) {
      if (msg.BodyShort) break;  // the reader's failure, found while copying
      return false;
    }
    if (!FindFaceHeader(msg, faceValue)) return false;
    if (faceValue.Empty()) continue;
    ++counters.facesTotal;
    if (!faces.Decode(faceValue, oBMP)) {
      if (faces.OutOfMemory()) return false;
      continue;
    }
    if (insert) {
      if (!BuildFaceMsg(oBMP, msg, oXPMsgBMP)) return false;
      if (oXPMsgBMP.WriteRawMsg(out.Writer, stderr) != 0) return false;
      ++counters.faceMsgsWritten;
    }
    if (extract) {
      FaceFingerprint print =
          Crc64(0, reinterpret_cast<const unsigned char*>(oBMP.Data), kBmpFileSize);
      if (ContainsFingerprint(known, print)) {
        ++counters.facesDuplicate;
        continue;
      }
      if (!AddFingerprint(known, print)) {
        LogMsg(stderr, "%s", kNoMemoryForFaces);
        return false;
      }
      if (!WriteFaceFile(extractDir, oBMP)) return false;
      ++counters.facesWritten;
    }
  }
  if (read == 1 || msg.BodyShort) {
    LogMsg(stderr, "%s", "Es ist ein Fehler aufgetreten, siehe Logdatei\n");
    if (oLogFile.File != nullptr) msg.MsgDump(oLogFile.File);
    return false;
  }
  return true;
}
