// The face message: inserted behind a message with a face, its body the BMP
// face file.
#ifndef KIVEX_FACE_FACE_MESSAGE_H_
#define KIVEX_FACE_FACE_MESSAGE_H_

#include "buffer/cstring.h"
#include "buffer/xp_msg.h"

// The fixed domain part of the face messages' IDs.
extern const char kMidSuffix[];

// Refills `oXPMsgBMP` from the source message's EMP, ABS, EDA, ROT, BET (as
// "[face]  " + subject) and MID (as BEZ), in source order, then a new MID
// that no run gives twice, TYP BIN, FILE FACE.BMP, LEN and the 446 BMP
// bytes of `oBMP` as body. kFaceMsgFailed after the report when memory runs
// out or the local time cannot be had; kFaceMsgTooLarge after the report
// when its header lines would pass the reader's limits (Kivex would refuse
// its own output).
enum { kFaceMsgBuilt, kFaceMsgFailed, kFaceMsgTooLarge };
int BuildFaceMsg(const cString& oBMP, cXPMsg& source, cXPMsg& oXPMsgBMP);

// The current local time as the 14 digits YYYYMMDDhhmmss (empty when
// memory runs out), and in *micros its microseconds (0 to 999999). False
// after the report when the system cannot tell it in that form.
bool MakeTimestamp(cString& text, int32_t* micros);

#endif  // KIVEX_FACE_FACE_MESSAGE_H_
