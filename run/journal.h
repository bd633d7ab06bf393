// The journal of an in-place run. The buffer stays the same file: the
// bytes from its first change on are put together in a journal beside it,
// which reaches the disk before the buffer's first byte is overwritten and
// is removed once the buffer holds them on the disk. A run that finds a
// journal puts its buffer in order first.
//
// The journal `<buffer>.journal` (an extension of its own: a Windows short
// name must not end in the buffer's): the new bytes (from the first change
// to the new end); where the buffer gets shorter, the old bytes cut off at
// its end; a hash of each page of old bytes the new ones overwrite; then a
// trailer, written last, so that a journal cut short by a crash has none.
#ifndef KIVEX_RUN_JOURNAL_H_
#define KIVEX_RUN_JOURNAL_H_

#include <string>

#include "buffer/file_stream.h"

std::string JournalName(const char* buffer);

// Says that another program changed the buffer during the run, and that it
// stays as that program left it.
void ReportChanged(const char* buffer);

// Opens `journal` on a new, private journal for `buffer`, written in
// blocks; nothing is written before the buffer's first change. False after
// the report.
bool CreateJournal(const char* buffer, cFileStream& journal);

// What a failed rewrite left.
enum RewriteResult {
  kRewritten,   // the buffer holds the result on the disk (or needed none)
  kUntouched,   // the buffer is as it was read; the journal is gone
  kJournalKept  // the buffer is half rewritten; the journal completes it
};

// Writes what `journal`'s writer took into the held buffer `input` (open
// for rewriting) from the first change on: the journal to the disk, the
// check that the buffer is still the one read, its new size, the new bytes,
// the journal removed. Reports every failure.
RewriteResult RewriteFromJournal(cFileStream& input, cFileStream& journal);

// Puts `buffer` in order when a journal of an interrupted run lies beside
// it: back to its old bytes where the run had not touched them, else
// forward to the new ones; bytes appended since stay behind them. A journal
// not made by Kivex for this account, or one that no longer fits the
// buffer (another program rewrote it since), is left alone with it. Takes
// the buffer's locks for it. True when there was nothing to do or it is
// done (and said so); false after the report.
bool RecoverJournal(const char* buffer);

#endif  // KIVEX_RUN_JOURNAL_H_
