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
const char kMagic[8] = {'K', 'I', 'V', 'E', 'X', 'J', 'N', '2'};
const size_t kStateAt = 8;
enum { kComplete = 1, kResized = 2 };

// The pieces copied between the journal and the buffer.
const size_t kCopyPiece = 1 << 20;
// The old bytes that the new ones overwrite are remembered by a hash per
// page of the file: a page reaches the disk whole, so after a crash each
// holds its old or its new bytes, and anything else is another program's.
const int64_t kPage = 4096;

struct cTrailer {
  uint64_t state = kComplete;
  int64_t firstChange = 0, oldSize = 0, newSize = 0;
  uint64_t volume = 0, index = 0;

  int64_t Tail() const { return newSize - firstChange; }
  int64_t Cut() const { return oldSize > newSize ? oldSize - newSize : 0; }
  // The end of the old bytes that new ones overwrite.
  int64_t OverlapEnd() const { return oldSize < newSize ? oldSize : newSize; }
  int64_t Pages() const {
    if (OverlapEnd() <= firstChange) return 0;
    return (OverlapEnd() - 1) / kPage - firstChange / kPage + 1;
  }
  int64_t HashesAt() const { return Tail() + Cut(); }
  int64_t TrailerAt() const { return HashesAt() + 8 * Pages(); }
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

// A page's fingerprint, eight bytes at a time: fast enough to take of
// every page a rewrite overwrites.
uint64_t PageHash(const char* bytes, size_t size) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ size;
  size_t i = 0;
  for (uint64_t word; i + 8 <= size; i += 8) {
    memcpy(&word, bytes + i, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  for (; i < size; ++i) h = (h ^ static_cast<unsigned char>(bytes[i])) * 0x100000001B3ULL;
  return h;
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
// that wrote it never touched the buffer. *unreadable when it could not
// even be read: then nothing can be told.
bool ReadTrailer(FILE* journal, cTrailer* t, bool* unreadable) {
  int64_t size = platform::RegularFileSize(journal);
  unsigned char in[kTrailerSize];
  *unreadable = false;
  if (size < static_cast<int64_t>(kTrailerSize)) return false;
  int64_t got = platform::ReadAt(journal, size - static_cast<int64_t>(kTrailerSize), in, sizeof in);
  if (got != static_cast<int64_t>(sizeof in)) {
    *unreadable = true;
    return false;
  }
  if (memcmp(in, kMagic, sizeof kMagic) != 0 || Get64(in + 56) != Checksum(in)) return false;
  t->state = Get64(in + kStateAt);
  t->firstChange = static_cast<int64_t>(Get64(in + 16));
  t->oldSize = static_cast<int64_t>(Get64(in + 24));
  t->newSize = static_cast<int64_t>(Get64(in + 32));
  t->volume = Get64(in + 40);
  t->index = Get64(in + 48);
  return t->firstChange >= 0 && t->firstChange <= t->newSize && t->oldSize >= 0 &&
         t->TrailerAt() + static_cast<int64_t>(kTrailerSize) == size;
}

// The room for pieces read or copied: one per process, kept.
char* Room() {
  static char* room = nullptr;
  if (room == nullptr) room = static_cast<char*>(platform::AllocBlock(kCopyPiece));
  return room;
}

// Reads [from, to) of `file` in large pieces and hands it to visit(offset,
// bytes, size) page by page (pages of the file, so the first and last may
// be shorter). 0, the errno of a failed read, or -1 when visit said stop.
template <class Visit>
int ForEachPage(FILE* file, int64_t from, int64_t to, Visit visit) {
  char* room = Room();
  if (room == nullptr) return ENOMEM;
  for (int64_t at = from; at < to;) {
    int64_t end = (at / kPage + static_cast<int64_t>(kCopyPiece) / kPage) * kPage;
    if (end > to) end = to;
    size_t want = static_cast<size_t>(end - at);
    if (platform::ReadAt(file, at, room, want) != static_cast<int64_t>(want))
      return errno != 0 ? errno : EIO;
    for (int64_t page = at; page < end;) {
      int64_t next = (page / kPage + 1) * kPage < end ? (page / kPage + 1) * kPage : end;
      if (!visit(page, room + (page - at), static_cast<size_t>(next - page))) return -1;
      page = next;
    }
    at = end;
  }
  return 0;
}

// Copies `size` bytes from `from` at `fromAt` to `to` at `toAt`, with the
// step hook "copy" before each piece written when `step`. 0 or errno.
int Copy(FILE* from, int64_t fromAt, FILE* to, int64_t toAt, int64_t size, bool step) {
  char* room = Room();
  if (room == nullptr) return ENOMEM;
  for (int64_t done = 0; done < size;) {
    // Pieces end on the target's pages: a run that dies between two leaves
    // every page old or new.
    int64_t end = ((toAt + done) / kPage + static_cast<int64_t>(kCopyPiece) / kPage) * kPage;
    size_t want = static_cast<size_t>(end - toAt - done < size - done ? end - toAt - done
                                                                       : size - done);
    int64_t got = platform::ReadAt(from, fromAt + done, room, want);
    if (got != static_cast<int64_t>(want)) return got < 0 && errno != 0 ? errno : EIO;
    if (step) platform::AtStep("copy");
    int err = platform::WriteAt(to, toAt + done, room, want);
    if (err != 0) return err;
    // To the disk while the next piece is copied: the sync then waits less.
    platform::StartWriteback(to, toAt + done, got);
    done += got;
  }
  return 0;
}

bool IsNul(const char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != '\0') return false;
  return true;
}

// True when [from, to) of `file` is grown room no byte has reached yet:
// NULs (a message never begins with them).
bool AllNul(FILE* file, int64_t from, int64_t to) {
  return ForEachPage(file, from, to, [](int64_t, const char* bytes, size_t size) {
           return IsNul(bytes, size);
         }) == 0;
}

// Appends the hash of every page of old bytes the rewrite overwrites to
// the journal. 0 or errno.
int WriteOldHashes(FILE* buffer, FILE* journal, const cTrailer& t) {
  unsigned char hashes[8 * 512];
  size_t held = 0;
  int64_t at = t.HashesAt();
  int err = 0;
  int walked = ForEachPage(buffer, t.firstChange, t.OverlapEnd(),
                           [&](int64_t, const char* bytes, size_t size) {
    Put64(hashes + held, PageHash(bytes, size));
    held += 8;
    if (held == sizeof hashes) {
      err = platform::WriteAt(journal, at, hashes, held);
      at += static_cast<int64_t>(held);
      held = 0;
    }
    return err == 0;
  });
  if (err == 0 && walked > 0) err = walked;
  if (err == 0 && held > 0) err = platform::WriteAt(journal, at, hashes, held);
  return err;
}

// True when the journal holds `bytes` (at most a page) at `at`.
bool JournalHolds(FILE* journal, int64_t at, const char* bytes, size_t size) {
  char theirs[kPage];
  return platform::ReadAt(journal, at, theirs, size) == static_cast<int64_t>(size) &&
         memcmp(bytes, theirs, size) == 0;
}

// True when [from, to) of `file` holds the journal's bytes from `at` on.
bool SameAsJournal(FILE* file, int64_t from, int64_t to, FILE* journal, int64_t at) {
  return ForEachPage(file, from, to, [&](int64_t page, const char* bytes, size_t size) {
           return JournalHolds(journal, at + (page - from), bytes, size);
         }) == 0;
}

// How the buffer's bytes from the first change up to `end` stand against
// the journal: every page still old (grown room: NUL), or each old or new,
// or some neither (or unreadable): another program's.
enum Standing { kAllOld, kOldOrNew, kForeign };

Standing Compare(FILE* buffer, FILE* journal, const cTrailer& t, int64_t end) {
  bool allOld = true;
  int64_t page = 0;
  auto check = [&](int64_t at, const char* bytes, size_t size) {
    bool isOld;
    if (at < t.OverlapEnd()) {
      unsigned char hash[8];
      isOld = platform::ReadAt(journal, t.HashesAt() + 8 * page++, hash, 8) == 8 &&
              Get64(hash) == PageHash(bytes, size);
    } else {
      isOld = IsNul(bytes, size);
    }
    allOld = allOld && isOld;
    return isOld || JournalHolds(journal, at - t.firstChange, bytes, size);
  };
  // The old bytes' pages as they were hashed, then the grown room.
  int64_t overlap = end < t.OverlapEnd() ? end : t.OverlapEnd();
  int walked = ForEachPage(buffer, t.firstChange, overlap, check);
  if (walked == 0 && end > overlap) walked = ForEachPage(buffer, overlap, end, check);
  if (walked != 0) return kForeign;
  return allOld ? kAllOld : kOldOrNew;
}

// The journal goes, and with it the run's claim on the buffer's new bytes.
int RemoveJournal(const std::string& name) {
  int err = platform::RemoveFile(name.c_str());
  if (err == 0) platform::SyncDirectoryOf(name.c_str());
  return err;
}

RewriteResult Untouched(cFileStream& journal, const std::string& name) {
  journal.Abandon();
  RemoveJournal(name);
  return kUntouched;
}

}  // namespace

void ReportChanged(const char* buffer) {
  LogMsg(stderr, "Der Puffer %s wurde waehrend des Laufs veraendert und bleibt, wie er ist\n",
         buffer);
}

std::string JournalName(const char* buffer) { return std::string(buffer) + ".journal"; }

bool CreateJournal(const char* buffer, cFileStream& journal) {
  std::string name = JournalName(buffer);
  int opened = journal.Open(name.c_str(), "w+bxp", kStreamBuffer);
  if (opened == 2) {
    // Taken since the recovery looked, by a program that is not Kivex.
    LogSystemError(EEXIST);
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
  if (!input.Unchanged()) {
    ReportChanged(buffer.c_str());
    return Untouched(journal, name);
  }
  if (written && t.firstChange < 0 && t.newSize == t.oldSize) {
    // Nothing differs: the buffer keeps its bytes and its time.
    Untouched(journal, name);
    return kRewritten;
  }
  if (t.firstChange < 0) t.firstChange = t.newSize;  // only the end goes
  unsigned char trailer[kTrailerSize];
  Encode(t, trailer);
  // The new bytes, the cut ones, the old pages' hashes and the trailer,
  // each on the disk before what follows it.
  int err = written ? 0 : writer.Error() != 0 ? writer.Error() : EIO;
  if (err == 0) err = Copy(input.File, t.newSize, journal.File, t.Tail(), t.Cut(), false);
  // The new bytes go to the disk while the old pages are hashed.
  if (err == 0) platform::StartWriteback(journal.File, 0, 0);
  if (err == 0) err = WriteOldHashes(input.File, journal.File, t);
  if (err == 0) err = platform::Sync(journal.File);
  if (err == 0) err = platform::WriteAt(journal.File, t.TrailerAt(), trailer, sizeof trailer);
  if (err == 0) err = platform::Sync(journal.File);
  if (err == 0) platform::SyncDirectoryOf(name.c_str());
  if (err != 0) {
    LogMsg(stderr, "Das Journal %s konnte nicht geschrieben werden\n", name.c_str());
    LogSystemError(err);
    return Untouched(journal, name);
  }
  platform::AtStep("journal");
  err = platform::HoldAlone(&input.File, buffer.c_str());
  if (err != 0) {
    LogMsg(stderr, "Der Puffer %s wird gerade von einem anderen Programm benutzt und bleibt, "
           "wie er ist\n", buffer.c_str());
    return Untouched(journal, name);
  }
  // The last look, with every lock held: a program that takes none must
  // not have written it since it was read.
  platform::AtStep("check");
  if (!input.Unchanged()) {
    ReportChanged(buffer.c_str());
    return Untouched(journal, name);
  }
  // The new end first: what a program without a lock appends from now on
  // lands behind the new bytes.
  if (t.newSize != t.oldSize) {
    err = platform::Resize(input.File, t.newSize);
    // A growth that failed half-way (room reserved block by block) is taken
    // back while the locks are held: the buffer is then as it was.
    if (err != 0 && platform::Resize(input.File, t.oldSize) == 0 &&
        platform::Sync(input.File) == 0) {
      LogMsg(stderr, "Der Puffer %s konnte nicht auf seine neue Laenge gebracht werden und "
             "bleibt, wie er ist\n", buffer.c_str());
      LogSystemError(err);
      return Untouched(journal, name);
    }
    if (err == 0) err = platform::Sync(input.File);
    unsigned char state[8];
    Put64(state, kResized);
    if (err == 0)
      err = platform::WriteAt(journal.File, t.TrailerAt() + static_cast<int64_t>(kStateAt), state,
                              sizeof state);
    if (err == 0) err = platform::Sync(journal.File);
    if (err == 0) platform::AtStep("resized");
  }
  if (err == 0) err = Copy(journal.File, 0, input.File, t.firstChange, t.Tail(), true);
  if (err == 0) err = platform::Sync(input.File);
  if (err != 0) {
    LogMsg(stderr, "Der Puffer %s konnte nicht fertig geschrieben werden; der naechste Lauf "
           "stellt ihn mit dem Journal %s fertig\n", buffer.c_str(), name.c_str());
    LogSystemError(err);
    journal.Abandon();
    return kJournalKept;
  }
  platform::AtStep("written");
  journal.Abandon();
  err = RemoveJournal(name);
  if (err != 0) {
    // Harmless to apply again, but it must not outlive the next run's look.
    LogMsg(stderr, "Das Journal %s konnte nicht entfernt werden\n", name.c_str());
    LogSystemError(err);
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
  // Only a journal that Kivex made for this account counts: a file put
  // there by anyone else must not write into the buffer.
  FILE* journal = platform::IsOwnPrivateFile(name.c_str()) ? platform::OpenFile(name.c_str(), "rb")
                                                           : nullptr;
  if (journal == nullptr && errno == ENOENT) return held.Close() == 0;  // another run took it
  if (journal == nullptr) {
    LogMsg(stderr, "Das Journal %s ist nicht von Kivex fuer diesen Benutzer angelegt; beide "
           "bleiben, wie sie sind\n", name.c_str());
    return false;
  }
  cTrailer t;
  bool unreadable;
  bool complete = ReadTrailer(journal, &t, &unreadable);
  const platform::FileState& now = held.HeldState();
  const char* refusal = nullptr;
  if (unreadable)
    refusal = "Das Journal %s konnte nicht gelesen werden; es und der Puffer %s bleiben, wie sie "
              "sind\n";
  else if (complete && (t.volume != now.volume || t.index != now.index))
    refusal = "Das Journal %s gehoert zu einer anderen Datei als dem Puffer %s; beide bleiben, "
              "wie sie sind\n";
  // Until the run gave the buffer its new size it had not touched it: the
  // old bytes are all there, followed by what was appended since (growth:
  // not yet the NULs of the new room; shrink: still the bytes it cuts).
  // Once it had, the journal holds every new byte, and what was appended
  // lies behind the new end. Either way each page must hold its old or
  // its new bytes: anything else means another program rewrote the buffer
  // since, and the journal no longer fits it.
  bool resized = t.state == kResized || t.newSize == t.oldSize;
  if (complete && !resized && t.newSize > t.oldSize) {
    resized = now.size >= t.newSize && AllNul(held.File, t.oldSize, t.newSize);
  } else if (complete && !resized) {
    resized = now.size < t.oldSize ||
              !SameAsJournal(held.File, t.newSize, t.oldSize, journal, t.Tail());
  }
  int64_t end = resized ? t.newSize : t.OverlapEnd();
  if (refusal == nullptr && complete) {
    Standing standing = now.size < end ? kForeign : Compare(held.File, journal, t, end);
    if (resized ? standing == kForeign : standing != kAllOld)
      refusal = "Das Journal %s passt nicht mehr zum Puffer %s, den ein anderes Programm "
                "inzwischen geaendert hat; beide bleiben, wie sie sind\n";
  }
  bool forward = complete && resized;
  if (refusal != nullptr) {
    fclose(journal);
    LogMsg(stderr, refusal, name.c_str(), buffer);
    return false;
  }
  int err = 0;
  if (forward) {
    // Nobody reads the buffer while its bytes are written again.
    err = platform::HoldAlone(&held.File, buffer);
    if (err == 0) err = Copy(journal, 0, held.File, t.firstChange, t.Tail(), false);
    if (err == 0) err = platform::Sync(held.File);
  }
  fclose(journal);
  if (err == 0) err = RemoveJournal(name);
  if (err != 0) {
    LogMsg(stderr, "Der Puffer %s konnte mit dem Journal %s nicht wiederhergestellt werden\n",
           buffer, name.c_str());
    LogSystemError(err);
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
