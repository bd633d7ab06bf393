#include "face/face_message.h"

#include <cstdio>
#include <cstring>

#include "face/bmp.h"
#include "buffer/log.h"
#include "platform/env.h"

const char kMidSuffix[] = "@kivex.face";

namespace {

// Process-wide: every face message of a run carries the time of the run's
// first face message and a serial number from 1 on.
int32_t gFaceMsgSerial = 0;
cString* gMidTimestamp = nullptr;
cString* gMessageId = nullptr;
bool gTimestampFilled = false;

void ReleaseMidTexts() {
  delete gMidTimestamp;
  delete gMessageId;
  gMidTimestamp = gMessageId = nullptr;
}

}  // namespace

bool MakeTimestamp(cString& text) {
  struct tm local;
  // A year of five digits would make a MID of another form.
  if (!platform::LocalTime(platform::Now(), &local) || local.tm_year < -1900 ||
      local.tm_year > 9999 - 1900) {
    LogMsg(stderr, "%s", "Die lokale Zeit fuer die Message-ID konnte nicht bestimmt werden\n");
    return false;
  }
  char digits[32];
  snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  text.Assign(digits);
  return true;
}

void ReturnFaceMsgSerial() { --gFaceMsgSerial; }

bool BuildFaceMsg(const cString& oBMP, cXPMsg& source, cXPMsg& oXPMsgBMP) {
  oXPMsgBMP.Headers.Clear();
  if (oXPMsgBMP.SetMsgBodyRaw(oBMP.Data, kBmpFileSize + 1) != 0) {
    LogMsg(stderr, "%s", "oXPMsgBMP.SetMsgBodyRaw() failed\n");
    return false;
  }
  static cString subject;
  for (source.HeaderCursor = 0; source.HeaderCursor < source.Headers.Count();
       ++source.HeaderCursor) {
    const cHeaderLine* line = source.Headers.At(source.HeaderCursor);
    const char* name = line->Name.Text();
    if (EqualsIgnoreCase(name, "EMP") || EqualsIgnoreCase(name, "ABS") ||
        EqualsIgnoreCase(name, "EDA") || EqualsIgnoreCase(name, "ROT")) {
      oXPMsgBMP.AddHeader(name, line->Value.Text());
    } else if (EqualsIgnoreCase(name, "BET")) {
      subject.Assign("[face]  ");
      subject.Append(line->Value.Text(), line->Value.Size());
      oXPMsgBMP.AddHeader(name, subject.Text());
    } else if (EqualsIgnoreCase(name, "MID")) {
      oXPMsgBMP.AddHeader("BEZ", line->Value.Text());
    }
  }
  if (gMidTimestamp == nullptr) {
    gMidTimestamp = new cString(16);
    gMessageId = new cString(64);
    atexit(ReleaseMidTexts);
  }
  if (!gTimestampFilled) {
    if (!MakeTimestamp(*gMidTimestamp)) return false;
    gTimestampFilled = true;
  }
  char serial[16];
  snprintf(serial, sizeof serial, "%d", ++gFaceMsgSerial);
  gMessageId->Clear();
  gMessageId->Append(gMidTimestamp->Text(), gMidTimestamp->Size());
  gMessageId->Append("_", 1);
  gMessageId->Append(serial, static_cast<int32_t>(strlen(serial)));
  gMessageId->Append(kMidSuffix, static_cast<int32_t>(sizeof kMidSuffix - 1));
  oXPMsgBMP.AddHeader("MID", gMessageId->Text());
  oXPMsgBMP.AddHeader("TYP", "BIN");
  oXPMsgBMP.AddHeader("FILE", "FACE.BMP");
  oXPMsgBMP.AddLenHeader();
  return true;
}
