// Buffer bytes shown on the console. Mail is untrusted, and a terminal acts
// on the escape sequences it receives; a log file keeps the exact bytes.
#ifndef KIVEX_BUFFER_CONSOLE_TEXT_H_
#define KIVEX_BUFFER_CONSOLE_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// At most this many bytes of a body are shown on the console.
const size_t kConsoleBytes = 256;

// True for the standard output and error streams.
bool IsConsole(FILE* stream);

// Writes `count` bytes, each control byte other than TAB, CR and LF
// (0x00-0x1F and 0x7F) as \xNN. Bytes from 0x80 up stay as they are: the
// umlauts of the DOS and Windows code pages. `oneLine`: those three too,
// for a value shown within a line of the program's own.
void WriteSafeText(FILE* stream, const char* bytes, size_t count, bool oneLine = false);

// fprintf for the program's own texts and the names in them: a console gets
// them in its code page (platform::WriteText). False when the text could
// not be written.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
bool PrintText(FILE* stream, const char* format, ...);
bool PrintTextV(FILE* stream, const char* format, va_list args);

#endif  // KIVEX_BUFFER_CONSOLE_TEXT_H_
