#include "run/command_line.h"

#include "platform/env.h"
#include "buffer/log.h"

namespace {

const char kBanner[] =
    "Kivex v0.90.00 WIN32  Aug  7 2004\n"
    "unter Benutzung der Compface-Routinen von James Ashton (1990)\n";

const char kNoMemory[] = "Kein Speicher fuer die Aufrufzeile\n";

// Takes the value glued to a -k or -x flag. False after the report.
bool TakeFlagValue(const char* arg, cString& value, const char* repeated,
                   const char* format) {
  if (!value.Empty()) {
    LogMsg(stderr, "%s", repeated);
    return false;
  }
  if (arg[2] == '\0') {
    LogMsg(stderr, "%s", format);
    return false;
  }
  if (value.Assign(arg + 2)) return true;
  LogMsg(stderr, "%s", kNoMemory);
  return false;
}

}  // namespace

bool scan_args(int argc, char** argv, cString& inputBuffer, cString& outputBuffer,
               cString& extractDir, int32_t& flags) {
  LogMsg(nullptr, "%s", kSeparatorLine);
  flags = OPT_INPLACE | OPT_INSERT;
  inputBuffer.Clear();
  outputBuffer.Clear();
  extractDir.Clear();
  if (oLogFile.File != nullptr) {
    for (int i = 0; i < argc; ++i) fprintf(oLogFile.File, "scan_args. Arg[%d]:<%s>\n", i, argv[i]);
  }
  if (argc < 2) {
    PrintUsage(stdout);
    return false;
  }
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (platform::IsFlagChar(arg[0])) {
      if (arg[1] == 'k') {
        if (!TakeFlagValue(arg, outputBuffer, "Flag -k nur einmal zulaessig\n",
                           "Flag -k muss im Format -kAusgabepuffer angegeben werden\n"))
          return false;
        flags = (flags & ~OPT_INPLACE) | OPT_INSERT;
      } else if (arg[1] == 'x') {
        if (!TakeFlagValue(arg, extractDir, "Flag -x nur einmal zulaessig\n",
                           "Flag -x muss im Format -xExtraktionsverzeichnis angegeben werden\n"))
          return false;
        flags = (flags & ~(OPT_INPLACE | OPT_INSERT)) | OPT_EXTRACT;
      } else {
        LogMsg(stderr, "Kivex: Ungueltiges flag '%s'\n", arg);
        return false;
      }
      continue;
    }
    if (!inputBuffer.Assign(arg)) {
      LogMsg(stderr, "%s", kNoMemory);
      return false;
    }
    fprintf(stderr, "\n%s\n", kBanner);
    fflush(stderr);
    // Further arguments are left to other programs, but a -k or -x there
    // was meant for this run: taken as ignored, it would filter the buffer
    // in place, which the user had asked to leave alone.
    for (int j = i + 1; j < argc; ++j) {
      if (platform::IsFlagChar(argv[j][0]) && (argv[j][1] == 'k' || argv[j][1] == 'x')) {
        LogMsg(stderr, "Flag %s steht hinter dem Puffernamen; Flags muessen vor dem Puffernamen "
               "stehen\n", argv[j]);
        return false;
      }
    }
    if (!outputBuffer.Empty() && !extractDir.Empty()) {
      LogMsg(stderr, "%s", "Von den Flags -x und -k darf nur eines angegeben werden\n");
      return false;
    }
    LogMsg(nullptr, "%s", kSeparatorLine);
    return true;
  }
  LogMsg(stderr, "%s", "Puffername fehlt\n");
  return false;
}

void PrintUsage(FILE* stream) {
  static const char* const kTexts[] = {
      "\n",
      kBanner,
      "\n",
      "usage:\n",
      "\n",
      "Kivex {-kAusgangspuffer} Eingangspuffer\n",
      "\n",
      "-kAusgangspuffer      optional, wird dieser Parameter angegeben, wird\n"
      "                      der Eingansgspuffer nicht ueberschrieben,\n"
      "                      stattdessen wir ein neuer Puffer angelegt mit\n"
      "                      dem Namen 'Ausgangspuffer'\n",
      "\n",
      "oder\n",
      "\n",
      "Kivex -xExtractVerzeichnis Eingangspuffer\n",
      "-xExtractVerzeichnis  in diesem Verzeichnis werden alle erkannten\n",
      "                      Faces als Bitmaps abgelegt. Es wird dafuer Sorge\n",
      "                      getragen, dass jedes Face nur einmal dort gespeichert\n",
      "                      wird\n",
  };
  for (const char* text : kTexts) fprintf(stream, "%s", text);
}
