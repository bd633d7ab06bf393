#include "face/face_message.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "face/bmp.h"
#include "buffer/log.h"
#include "platform/env.h"

const char kMidSuffix[] = "@kivex.face";

namespace {

// Process-wide: every face message of a run carries the time of the run's
// first face message and a serial number from 1 on.
//
// A mail system drops a message whose ID it has seen, so no ID may come
// again from any run. Behind the serial, in the same number, come the
// stamp's microseconds (6 digits) and the process id (10 digits): runs in
// one second differ in those microseconds, and two runs of the same
// microsecond run at once, in processes of different ids. Left: Windows
// before 8, whose clock moves in 16 ms steps, giving a freed id to a new
// process within one step; and the hour repeated when summer time ends,
// should a run there meet the same microsecond and process id as one an
// hour before. With both of fixed width the number still tells the serial
// apart.
int32_t gFaceMsgSerial = 0;
cString* gMidTimestamp = nullptr;
cString* gMessageId = nullptr;
bool gTimestampFilled = false;
char gRunDigits[24];

void ReleaseMidTexts() {
  delete gMidTimestamp;
  delete gMessageId;
  gMidTimestamp = gMessageId = nullptr;
}

}  // namespace

bool MakeTimestamp(cString& text, int32_t* micros) {
  int64_t now = platform::NowMicroseconds();
  int64_t seconds = now / 1000000 - (now % 1000000 < 0 ? 1 : 0);
  *micros = static_cast<int32_t>(now - seconds * 1000000);
  struct tm local;
  // A year of five digits would make a MID of another form.
  if (!platform::LocalTime(seconds, &local) || local.tm_year < -1900 || local.tm_year > 9999 - 1900) {
    LogMsg(stderr, "%s", "Die lokale Zeit fuer die Message-ID konnte nicht bestimmt werden\n");
    return false;
  }
  char digits[32];
  snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  text.Assign(digits);  // without the memory the text stays empty
  return true;
}

int BuildFaceMsg(const cString& oBMP, cXPMsg& source, cXPMsg& oXPMsgBMP) {
  oXPMsgBMP.Headers.Clear();
  if (oXPMsgBMP.SetMsgBodyRaw(oBMP.Data, kBmpFileSize + 1) != 0) {
    LogMsg(stderr, "%s", "Kein Speicher fuer die Face-Nachricht\n");
    return kFaceMsgFailed;
  }
  static cString subject;
  int failed = 0;  // a face message short of a line must not go out
  for (source.HeaderCursor = 0; source.HeaderCursor < source.Headers.Count() && failed == 0;
       ++source.HeaderCursor) {
    const cHeaderLine* line = source.Headers.At(source.HeaderCursor);
    const char* name = line->Name.Text();
    if (EqualsIgnoreCase(name, "EMP") || EqualsIgnoreCase(name, "ABS") ||
        EqualsIgnoreCase(name, "EDA") || EqualsIgnoreCase(name, "ROT")) {
      failed = oXPMsgBMP.AddHeader(name, line->Value.Text());
    } else if (EqualsIgnoreCase(name, "BET")) {
      failed = !subject.Assign("[face]  ") || !subject.Append(line->Value.Text(), line->Value.Size()) ||
               oXPMsgBMP.AddHeader(name, subject.Text()) != 0;
    } else if (EqualsIgnoreCase(name, "MID")) {
      failed = oXPMsgBMP.AddHeader("BEZ", line->Value.Text());
    }
  }
  static bool releaseArranged = false;
  if (!releaseArranged) releaseArranged = atexit(ReleaseMidTexts) == 0;
  if (gMidTimestamp == nullptr && platform::MayAllocate()) gMidTimestamp = new (std::nothrow) cString(16);
  if (gMessageId == nullptr && platform::MayAllocate()) gMessageId = new (std::nothrow) cString(64);
  if (gMidTimestamp == nullptr || gMessageId == nullptr) failed = 1;
  if (failed == 0 && !gTimestampFilled) {
    int32_t micros = 0;
    if (!MakeTimestamp(*gMidTimestamp, &micros)) return kFaceMsgFailed;
    snprintf(gRunDigits, sizeof gRunDigits, "%06d%010u", static_cast<int>(micros),
             static_cast<unsigned>(platform::ProcessId()));
    gTimestampFilled = gMidTimestamp->Size() > 0;
    if (!gTimestampFilled) failed = 1;
  }
  if (failed == 0) {
    char serial[40];
    snprintf(serial, sizeof serial, "%d%s", ++gFaceMsgSerial, gRunDigits);
    gMessageId->Clear();
    failed = !gMessageId->Append(gMidTimestamp->Text(), gMidTimestamp->Size()) ||
             !gMessageId->Append("_", 1) ||
             !gMessageId->Append(serial, static_cast<int32_t>(strlen(serial))) ||
             !gMessageId->Append(kMidSuffix, static_cast<int32_t>(sizeof kMidSuffix - 1)) ||
             oXPMsgBMP.AddHeader("MID", gMessageId->Text()) != 0 ||
             oXPMsgBMP.AddHeader("TYP", "BIN") != 0 || oXPMsgBMP.AddHeader("FILE", "FACE.BMP") != 0 ||
             oXPMsgBMP.AddLenHeader() != 0;
  }
  if (failed != 0) {
    LogMsg(stderr, "%s", "Kein Speicher fuer die Face-Nachricht\n");
    return kFaceMsgFailed;
  }
  if (!WithinHeaderLimits(oXPMsgBMP.Headers)) {
    LogMsg(stderr, "Die Face-Nachricht zur Nachricht at %llX wuerde die Grenzen eines Headers "
           "ueberschreiten und wird nicht eingefuegt\n", static_cast<unsigned long long>(source.OfsStart));
    return kFaceMsgTooLarge;
  }
  return kFaceMsgBuilt;
}
