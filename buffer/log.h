// Message output: the console streams and the process-wide log stream.
#ifndef KIVEX_BUFFER_LOG_H_
#define KIVEX_BUFFER_LOG_H_

#include <cstdio>

#include "buffer/file_stream.h"

// The log stream: created closed before main runs, closed at process exit.
// Nothing in a run opens it, so output meant for it alone is dropped.
extern cFileStream oLogFile;

// The separator line: 78 minus signs and a line feed.
extern const char kSeparatorLine[];

// What a run interrupted (Ctrl+C, a signal) before it changed anything says.
extern const char kInterrupted[];

// Gives standard output and standard error a buffer of their own: without
// one, Windows' C runtime writes a console's text byte by byte (under Wine
// asking for the console's mode at every byte). Every text is then flushed
// when it is complete; LogMsg does that.
void BufferConsole();

// Writes a formatted message to `console` (or nowhere when null) and a copy
// to oLogFile when that is open; flushes a standard console stream at once,
// and the other one before.
// False when a write reported an error.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
bool LogMsg(FILE* console, const char* format, ...);

// "Fehler: " and the text for the errno value `err` on standard error: the
// one line that tells why a file operation failed.
void LogSystemError(int err);

#endif  // KIVEX_BUFFER_LOG_H_
