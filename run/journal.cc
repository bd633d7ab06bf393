#include "run/journal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "buffer/log.h"
#include "platform/env.h"
#include "platform/fault.h"

namespace {

// The trailer: magic, state, the rewrite's offsets and the buffer's
// identity, 64-bit little-endian, and a checksum of all but the state,
// which alone changes after the trailer is written.
const size_t kTrailerSize = 64;
const char kMagic[8] = {'K', 'I', 'V', 'E', 'X', 'J', 'N', '1'};
const size_t kStateAt = 8;
enum { kComplete = 1, kResized = 2 };

// The pieces copied between the journal and the buffer.
const size_t kCopyPiece = 1 << 20;

struct cTrailer {
  uint64_t state = kComplete;
  int64_t firstChange = 0, oldSize = 0, newSize = 0;
  uint64_t volume = 0, index = 0;

  int64_t Tail() const { return newSize - firstChange; }
  int64_t Cut() const { return oldSize > newSize ? oldSize - newSize : 0; }
};

void Put64(unsigned char* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t Get64(const unsigned char* at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

// FNV-1a: a torn or foreign trailer must not pass for a complete one.
uint64_t Checksum(const unsigned char* trailer) {
  uint64_t sum = 14695981039346656037ULL;
  for (size_t i = 0; i < kTrailerSize - 8; ++i) {
    if (i >= kStateAt && i < kStateAt + 8) continue;
    sum = (sum ^ trailer[i]) * 1099511628211ULL;
  }
  return sum;
}

void Encode(const cTrailer& t, unsigned char* out) {
  memcpy(out, kMagic, sizeof kMagic);
  Put64(out + kStateAt, t.state);
  Put64(out + 16, static_cast<uint64_t>(t.firstChange));
  Put64(out + 24, static_cast<uint64_t>(t.oldSize));
  Put64(out + 32, static_cast<uint64_t>(t.newSize));
  Put64(out + 40, t.volume);
  Put64(out + 48, t.index);
  Put64(out + 56, Checksum(out));
}

// False for a journal without a whole trailer that fits its size: the run
// that wrote it never touched the buffer.
bool ReadTrailer(FILE* journal, cTrailer* t) {
  int64_t size = platform::RegularFileSize(journal);
  unsigned char in[kTrailerSize];
  if (size < static_cast<int64_t>(kTrailerSize) ||
      platform::ReadAt(journal, size - static_cast<int64_t>(kTrailerSize), in, sizeof in) !=
          static_cast<int64_t>(sizeof in) ||
      memcmp(in, kMagic, sizeof kMagic) != 0 || Get64(in + 56) != Checksum(in))
    return false;
  t->state = Get64(in + kStateAt);
  t->firstChange = static_cast<int64_t>(Get64(in + 16));
  t->oldSize = static_cast<int64_t>(Get64(in + 24));
  t->newSize = static_cast<int64_t>(Get64(in + 32));
  t->volume = Get64(in + 40);
  t->index = Get64(in + 48);
  return t->firstChange >= 0 && t->firstChange <= t->newSize && t->oldSize >= 0 &&
         t->Tail() + t->Cut() + static_cast<int64_t>(kTrailerSize) == size;
}

// Copies `size` bytes from `from` at `fromAt` to `to` at `toAt`, with the
// step hook "copy" before each piece written when `step`. 0 or errno.
int Copy(FILE* from, int64_t fromAt, FILE* to, int64_t toAt, int64_t size, bool step) {
  static char* piece = nullptr;  // kept for the process: one run, one buffer
  if (piece == nullptr) piece = static_cast<char*>(platform::AllocBlock(kCopyPiece));
  if (piece == nullptr) return ENOMEM;
  for (int64_t done = 0; done < size;) {
    size_t want = size - done < static_cast<int64_t>(kCopyPiece) ? static_cast<size_t>(size - done)
                                                                   : kCopyPiece;
    int64_t got = platform::ReadAt(from, fromAt + done, piece, want);
    if (got != static_cast<int64_t>(want)) return got < 0 && errno != 0 ? errno : EIO;
    if (step) platform::AtStep("copy");
    int err = platform::WriteAt(to, toAt + done, piece, want);
    if (err != 0) return err;
    done += got;
  }
  return 0;
}

// True when the `size` bytes at `at` are all NUL: grown room that no new
// byte has reached yet (a message never begins with NULs).
bool AllNul(FILE* file, int64_t at, int64_t size) {
  char bytes[4096];
  for (int64_t done = 0; done < size;) {
    size_t want = size - done < static_cast<int64_t>(sizeof bytes) ? static_cast<size_t>(size - done)
                                                                   : sizeof bytes;
    if (platform::ReadAt(file, at + done, bytes, want) != static_cast<int64_t>(want)) return false;
    for (size_t i = 0; i < want; ++i)
      if (bytes[i] != '\0') return false;
    done += static_cast<int64_t>(want);
  }
  return true;
}

// True when `a` at `atA` and `b` at `atB` hold the same `size` bytes.
bool SameBytes(FILE* a, int64_t atA, FILE* b, int64_t atB, int64_t size) {
  char x[4096], y[4096];
  for (int64_t done = 0; done < size;) {
    size_t want = size - done < static_cast<int64_t>(sizeof x) ? static_cast<size_t>(size - done)
                                                               : sizeof x;
    if (platform::ReadAt(a, atA + done, x, want) != static_cast<int64_t>(want) ||
        platform::ReadAt(b, atB + done, y, want) != static_cast<int64_t>(want) ||
        memcmp(x, y, want) != 0)
      return false;
    done += static_cast<int64_t>(want);
  }
  return true;
}

// The journal goes, and with it the run's claim on the buffer's new bytes.
int RemoveJournal(const std::string& name) {
  int err = platform::RemoveFile(name.c_str());
  if (err == 0) platform::SyncDirectoryOf(name.c_str());
  return err;
}

void ReportError(int err) { LogMsg(stderr, "Fehler: %s\n", platform::ErrorText(err)); }

RewriteResult ReportChanged(const std::string& buffer, cFileStream& journal) {
  LogMsg(stderr, "Der Puffer %s wurde waehrend des Laufs veraendert und bleibt, wie er ist\n",
         buffer.c_str());
  std::string name = journal.FileName;
  journal.Abandon();
  RemoveJournal(name);
  return kUntouched;
}

}  // namespace

std::string JournalName(const char* buffer) { return std::string(buffer) + "-journal"; }

bool CreateJournal(const char* buffer, cFileStream& journal) {
  std::string name = JournalName(buffer);
  int opened = journal.Open(name.c_str(), "w+bxp", kStreamBuffer);
  if (opened == 2) {
    // Taken since the recovery looked, by a program that is not Kivex.
    LogMsg(stderr, "Fehler: %s\n", platform::ErrorText(EEXIST));
    LogMsg(stderr, "Fehler beim Oeffnen der Datei %s\n", name.c_str());
  }
  return opened == 0;
}

RewriteResult RewriteFromJournal(cFileStream& input, cFileStream& journal) {
  const std::string name = journal.FileName;
  const std::string buffer = input.FileName;
  cBlockWriter& writer = journal.Writer;
  const platform::FileState& held = input.HeldState();
  cTrailer t;
  t.firstChange = writer.FirstChange();
  t.oldSize = held.size;
  t.newSize = writer.Position();
  t.volume = held.volume;
  t.index = held.index;
  bool written = writer.Flush();
  // A reader that found the buffer changed ended early: nothing to compose.
  if (!input.Unchanged()) return ReportChanged(buffer, journal);
  if (written && t.firstChange < 0 && t.newSize == t.oldSize) {
    // Nothing differs: the buffer keeps its bytes and its time.
    journal.Abandon();
    RemoveJournal(name);
    return kRewritten;
  }
  if (t.firstChange < 0) t.firstChange = t.newSize;  // only the end goes
  unsigned char trailer[kTrailerSize];
  Encode(t, trailer);
  // The new bytes, the cut ones and the trailer, each on the disk before
  // what follows it.
  int err = written ? 0 : writer.Error() != 0 ? writer.Error() : EIO;
  if (err == 0) err = Copy(input.File, t.newSize, journal.File, t.Tail(), t.Cut(), false);
  if (err == 0) err = platform::Sync(journal.File);
  if (err == 0)
    err = platform::WriteAt(journal.File, t.Tail() + t.Cut(), trailer, sizeof trailer);
  if (err == 0) err = platform::Sync(journal.File);
  if (err == 0) platform::SyncDirectoryOf(name.c_str());
  if (err != 0) {
    LogMsg(stderr, "Das Journal %s konnte nicht geschrieben werden\n", name.c_str());
    ReportError(err);
    journal.Abandon();
    RemoveJournal(name);
    return kUntouched;
  }
  platform::AtStep("journal");
  err = platform::HoldAlone(&input.File, buffer.c_str());
  if (err != 0) {
    LogMsg(stderr, "Der Puffer %s wird gerade von einem anderen Programm benutzt und bleibt, "
           "wie er ist\n", buffer.c_str());
    journal.Abandon();
    RemoveJournal(name);
    return kUntouched;
  }
  // The last look, with every lock held: a program that takes none must
  // not have written it since it was read.
  platform::AtStep("check");
  if (!input.Unchanged()) return ReportChanged(buffer, journal);
  // The new end first: what a program without a lock appends from now on
  // lands behind the new bytes.
  if (t.newSize != t.oldSize) {
    err = platform::Resize(input.File, t.newSize);
    if (err != 0 && platform::RegularFileSize(input.File) == t.oldSize) {
      LogMsg(stderr, "Der Puffer %s konnte nicht auf seine neue Laenge gebracht werden und "
             "bleibt, wie er ist\n", buffer.c_str());
      ReportError(err);
      journal.Abandon();
      RemoveJournal(name);
      return kUntouched;
    }
    if (err == 0) err = platform::Sync(input.File);
    unsigned char state[8];
    Put64(state, kResized);
    if (err == 0)
      err = platform::WriteAt(journal.File, t.Tail() + t.Cut() + static_cast<int64_t>(kStateAt),
                              state, sizeof state);
    if (err == 0) err = platform::Sync(journal.File);
    if (err == 0) platform::AtStep("resized");
  }
  if (err == 0) err = Copy(journal.File, 0, input.File, t.firstChange, t.Tail(), true);
  if (err == 0) err = platform::Sync(input.File);
  if (err != 0) {
    LogMsg(stderr, "Der Puffer %s konnte nicht fertig geschrieben werden; der naechste Lauf "
           "stellt ihn mit dem Journal %s fertig\n", buffer.c_str(), name.c_str());
    ReportError(err);
    journal.Abandon();
    return kJournalKept;
  }
  platform::AtStep("written");
  journal.Abandon();
  err = RemoveJournal(name);
  if (err != 0) {
    // Harmless to apply again, but it must not outlive the next run's look.
    LogMsg(stderr, "Das Journal %s konnte nicht entfernt werden\n", name.c_str());
    ReportError(err);
    return kJournalKept;
  }
  platform::AtStep("done");
  return kRewritten;
}

bool RecoverJournal(const char* buffer) {
  const std::string name = JournalName(buffer);
  if (!platform::PathExists(name.c_str())) return true;
  cFileStream held;
  if (held.OpenHeld(buffer, 0, true) != 0) return false;
  FILE* journal = platform::OpenFile(name.c_str(), "rb");
  if (journal == nullptr) {
    LogMsg(stderr, "Fehler: %s\n", platform::ErrorText(errno));
    LogMsg(stderr, "Fehler beim Oeffnen der Datei %s\n", name.c_str());
    return false;
  }
  cTrailer t;
  bool complete = ReadTrailer(journal, &t);
  const platform::FileState& now = held.HeldState();
  if (complete && (t.volume != now.volume || t.index != now.index)) {
    fclose(journal);
    LogMsg(stderr, "Das Journal %s gehoert zu einer anderen Datei als dem Puffer %s; beide "
           "bleiben, wie sie sind\n", name.c_str(), buffer);
    return false;
  }
  // Where the run had not yet touched the buffer it is still the old one,
  // followed by what was appended since; once it had, the journal holds
  // every new byte, and what was appended lies behind the new end.
  bool forward = complete;
  if (complete && t.state != kResized && t.newSize > t.oldSize)
    forward = now.size >= t.newSize && AllNul(held.File, t.oldSize, t.newSize - t.oldSize);
  else if (complete && t.state != kResized && t.newSize < t.oldSize)
    forward = !(now.size >= t.oldSize &&
                SameBytes(held.File, t.newSize, journal, t.Tail(), t.Cut()));
  int err = 0;
  if (forward) {
    if (now.size < t.newSize) {
      fclose(journal);
      LogMsg(stderr, "Das Journal %s passt nicht mehr zum Puffer %s, der inzwischen kuerzer "
             "ist; beide bleiben, wie sie sind\n", name.c_str(), buffer);
      return false;
    }
    err = Copy(journal, 0, held.File, t.firstChange, t.Tail(), false);
    if (err == 0) err = platform::Sync(held.File);
  }
  fclose(journal);
  if (err == 0) err = RemoveJournal(name);
  if (err != 0) {
    LogMsg(stderr, "Der Puffer %s konnte mit dem Journal %s nicht wiederhergestellt werden\n",
           buffer, name.c_str());
    ReportError(err);
    return false;
  }
  if (forward)
    LogMsg(stderr, "Der Puffer %s wurde mit dem Journal eines abgebrochenen Laufs fertig "
           "geschrieben\n", buffer);
  else
    LogMsg(stderr, "Der Puffer %s hat wieder den Stand vor einem abgebrochenen Lauf; dessen "
           "Journal ist entfernt\n", buffer);
  return held.Close() == 0;
}
