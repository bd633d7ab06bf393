#include "run/temp_buffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/env.h"
#include "buffer/log.h"

namespace {

const int kCandidates = 26 * 26 * 26;
const char kNoMemoryForName[] = "Kein Speicher fuer den Namen des temporaeren Puffers\n";

// As late as can be: from here another program could write the old buffer,
// so the rename then makes sure, try by try, that it still is the one read.
const platform::FileState* CloseBeforeRename(cFileStream* held) {
  if (held == nullptr || platform::kReplacesOpenFile) return nullptr;
  held->Close();
  return &held->HeldState();
}

// Copies the temporary buffer into a fresh private file in the target's
// directory, forces it to the disk and renames it over the target. 0 or
// errno; a copy that did not make it is removed again.
int ReplaceThroughCopy(const char* target, const char* tmpName, cFileStream* held) {
  cString dir;
  if (!dir.Assign(platform::DirectoryOf(target).c_str())) return ENOMEM;
  cFileStream copy;
  cString name;
  int candidate = 0;
  while (true) {
    if (!FindTmpFileName(dir, name, candidate)) return EEXIST;
    int opened = copy.Open(name.Text(), "wbxp", 0);
    if (opened == 0) break;
    if (opened == 1) return errno != 0 ? errno : EIO;
    ++candidate;
  }
  int err = 0;
  FILE* from = platform::OpenFile(tmpName, "rb");
  if (from == nullptr) err = errno != 0 ? errno : EIO;
  static char chunk[1 << 16];
  while (err == 0) {
    size_t size = fread(chunk, 1, sizeof chunk, from);
    if (size > 0 && platform::Write(chunk, size, copy.File) != size) err = errno != 0 ? errno : EIO;
    if (size < sizeof chunk) {
      if (ferror(from)) err = EIO;
      break;
    }
  }
  if (from != nullptr) fclose(from);
  if (err == 0) err = platform::Sync(copy.File);
  if (copy.Close() != 0 && err == 0) err = EIO;
  if (err == 0) {
    // The copy, not the temporary buffer, takes the input's rights: those
    // of a share may lock its reader out.
    err = platform::CopyAccess(target, name.Text());
    if (err == 0) err = platform::ReplaceFile(name.Text(), target, CloseBeforeRename(held));
  }
  if (err != 0) platform::RemoveFile(name.Text());
  return err;
}

// Says where the old and the new buffer are after a failed replacement. The
// input counts as unchanged only when its name still holds the file as
// `held` was opened.
void ReportFailedReplacement(const char* inputBuffer, const std::string& target,
                             const char* tmpName, int err, const cFileStream* held) {
  LogMsg(stderr, "Fehler beim Verschieben des temporaeren Puffers: %s nach %s\n", tmpName,
         inputBuffer);
  LogMsg(stderr, "Fehler: %s\n", platform::ErrorText(err));
  bool isDirectory;
  if (held != nullptr && platform::StillAsOpened(target.c_str(), held->HeldState()))
    LogMsg(stderr, "Der Eingangspuffer %s ist unveraendert\n", inputBuffer);
  else if (platform::StatPath(target.c_str(), &isDirectory) == ENOENT)
    LogMsg(stderr, "Unter dem Namen %s liegt keine Datei mehr\n", inputBuffer);
  else if (held == nullptr)
    LogMsg(stderr, "Der Eingangspuffer %s konnte nicht geprueft werden\n", inputBuffer);
  else
    LogMsg(stderr, "Unter dem Namen %s liegt nicht mehr der gelesene Eingangspuffer\n",
           inputBuffer);
  if (platform::PathExists(tmpName))
    LogMsg(stderr, "Der gefilterte temporaere Puffer hat den Namen: %s\n", tmpName);
  else
    LogMsg(stderr, "Der gefilterte temporaere Puffer %s ist nicht mehr vorhanden\n", tmpName);
}

}  // namespace

void ReportInputChanged(const char* inputBuffer, const char* tmpName) {
  LogMsg(stderr, "Der Puffer %s wurde waehrend des Laufs veraendert und bleibt, wie er ist\n",
         inputBuffer);
  // Never deleted by the program, so the user learns where it is.
  if (tmpName != nullptr)
    LogMsg(stderr,
           "Der temporaere Puffer %s enthaelt nur den alten Stand und kann geloescht werden\n",
           tmpName);
}

bool TempPath(cString& dir) {
  const char* value = getenv("TMP");
  if (value == nullptr) value = getenv("TEMP");
  if (value == nullptr || *value == '\0' || !platform::PathExists(value)) value = ".";
  if (!dir.Assign(value) ||
      (dir.Data[dir.Size() - 1] != platform::kSeparator && !dir.Append(&platform::kSeparator, 1))) {
    LogMsg(stderr, "%s", kNoMemoryForName);
    return false;
  }
  LogMsg(nullptr, "TempPath: <%s>\n", dir.Text());
  return true;
}

bool FindTmpFileName(const cString& dir, cString& name, int& candidate) {
  std::string path;
  for (; candidate < kCandidates; ++candidate) {
    char file[16];
    snprintf(file, sizeof file, "~KIVT%c%c%c.TMP", 'A' + candidate / 676,
             'A' + candidate / 26 % 26, 'A' + candidate % 26);
    path.assign(dir.Text()).append(file);
    if (!platform::PathExists(path.c_str())) {
      if (!name.Assign(path.c_str())) {
        LogMsg(stderr, "%s", kNoMemoryForName);
        return false;
      }
      LogMsg(nullptr, "tmpfilename: <%s>\n", name.Text());
      return true;
    }
  }
  LogMsg(stderr,
         "Im Verzeichnis %s: konnte kein Dateiname fuer eine temporaere Datei ermittelt werden\n",
         dir.Text());
  return false;
}

bool OpenTmpOutFile(const cString& dir, cFileStream& out) {
  cString name;
  int candidate = 0;
  while (true) {
    if (!FindTmpFileName(dir, name, candidate)) return false;
    // Private: it holds mail, often in a shared directory, and stays there
    // after a failed run.
    int opened = out.Open(name.Text(), "wbxp", kStreamBuffer);
    if (opened == 1) return false;
    if (opened == 0) break;
    ++candidate;  // appeared since the probe
  }
  LogMsg(nullptr, "OpenTmpOutFile: <%s>\n", out.FileName);
  return true;
}

bool ReplaceByTmpFile(const char* inputBuffer, const char* tmpName, cFileStream* held) {
  // Through a link, the file the mail system reads is the one replaced.
  std::string target = platform::FinalName(inputBuffer);
  if (target.empty()) {
    // Replaced by name, the link itself would become a plain file.
    LogMsg(stderr, "Das Ziel des Links %s konnte nicht bestimmt werden; der Eingangspuffer ist "
           "unveraendert\n", inputBuffer);
    LogMsg(stderr, "Der gefilterte temporaere Puffer hat den Namen: %s\n", tmpName);
    return false;
  }
  int err = EXDEV;
  if (platform::OnOneVolume(tmpName, target.c_str())) {
    // The new buffer takes the old one's rights before it takes its name;
    // without them (it was made private) it would lock the others out.
    // (Where the volumes are not told apart, a rename that fails with EXDEV
    // leaves them on the temporary buffer too; the copy then reads it.)
    err = platform::CopyAccess(target.c_str(), tmpName);
    if (err == 0) err = platform::ReplaceFile(tmpName, target.c_str(), CloseBeforeRename(held));
  }
  if (err == EXDEV) {
    err = ReplaceThroughCopy(target.c_str(), tmpName, held);
    // The result now lives under the input's name; the copy it came from
    // would only pile up in the temporary directory.
    if (err == 0) platform::RemoveFile(tmpName);
  }
  if (err == ECANCELED) {
    ReportInputChanged(inputBuffer, tmpName);
    return false;
  }
  if (err != 0) {
    ReportFailedReplacement(inputBuffer, target, tmpName, err, held);
    return false;
  }
  platform::SyncDirectoryOf(target.c_str());
  LogMsg(nullptr, "file: %s 'rename'ed\n  to: %s \n", tmpName, inputBuffer);
  LogMsg(nullptr, "%s", kSeparatorLine);
  return true;
}
