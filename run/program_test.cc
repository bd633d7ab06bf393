#include "run/program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "buffer/block_reader.h"
#include "face/face_extract.h"
#include "platform/env.h"
#include "platform/fault.h"
#include "tests/test_util.h"

namespace {

// One in-place run in this process, TMP pointing into the scratch directory,
// console output captured.
struct ScratchRun {
  // With `tempBase`, the temporary directory lies there (another volume).
  explicit ScratchRun(const std::string& buffer, const char* tempBase = nullptr)
      : other(tempBase != nullptr ? tempBase : ""), input(dir.File("in.puf")),
        temp(tempBase != nullptr ? other.path() : dir.File("tmp")) {
    std::filesystem::create_directory(temp);
    std::filesystem::create_directory(dir.File("faces"));
    test::WriteFile(input, buffer);
  }
  // In place, or with -k or -x when a flag is given. Ends the faults, the
  // record of operations and the step hook that a test set for the run.
  int InPlace(std::string flag = "") {
    char* argv[] = {const_cast<char*>("kivex"), &flag[0], &input[0]};
    if (flag.empty()) argv[1] = argv[2];
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    test::SetEnv("TMP", temp.c_str());
    RestartFaceFileNumbers();  // as a new process
    int rc = RunKivex(flag.empty() ? 2 : 3, argv);
    err = testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    test::SetEnv("TMP", nullptr);
    counted = platform::FaultOpsCounted();
    record = platform::RecordedOps();
    platform::ClearFault();
    platform::RecordOps(0);
    platform::SetStepHook(nullptr);
    return rc;
  }

  test::ScratchDir dir, other;
  std::string input, temp, out, err, record;
  long counted = 0;  // the operations of the armed kinds met
};

// Another program at work on the input at the `steps`th step named `step`
// of a run, through an open of its own, as a program that takes no lock: it
// appends `appended`, or cuts the buffer to `cutTo` bytes, or puts a new
// file holding the old bytes and `appended` under the input's name.
struct cOtherProgram {
  const char* what;
  std::string buffer, appended, step;
  int steps;
  bool moveIn;
  size_t cutTo;
  int untouched;  // the exit status when the other program is kept out
} gOther;
std::string gInput;
bool gWritten = false;

void OtherProgram(const char* step) {
  cOtherProgram& o = gOther;
  if (o.step != step || --o.steps != 0) return;
  if (o.moveIn) {
    std::string old = test::ReadFile(gInput);
    gWritten = rename(gInput.c_str(), (gInput + ".old").c_str()) == 0;
    if (gWritten) test::WriteFile(gInput, old + o.appended);
    return;
  }
  FILE* f = fopen(gInput.c_str(), o.cutTo > 0 ? "r+b" : "ab");
  gWritten = f != nullptr && fputs(o.appended.c_str(), f) >= 0;
  if (f != nullptr) fclose(f);
  if (gWritten && o.cutTo > 0) std::filesystem::resize_file(gInput, o.cutTo);
}

const std::string kSample = test::ReadFile(KIVEX_TEST_DATA "/sample.puf");
const char kChanged[] = " wurde waehrend des Laufs veraendert und bleibt, wie er ist\n";

// Face message IDs differ from run to run.
std::string Masked(const std::string& bytes) {
  static const std::regex id("MID: [0-9]{14}_[0-9]+@kivex\\.face");
  return std::regex_replace(bytes, id, "MID: <id>");
}

}  // namespace

// Makes the Nth output operation fail (alone, then with all after it), for
// every N until a run no longer reaches N: the input must then hold either
// its old bytes or the complete result, and a failed run must say so. With
// the temporary directory on the input's volume and, where there is one, on
// another (the result is then copied next to the input).
TEST(RunKivex, EveryFailingOperationLeavesOldOrNewBuffer) {
  ScratchRun clean(kSample);
  ASSERT_EQ(clean.InPlace(), 0);
  std::string result = Masked(test::ReadFile(clean.input));
  ASSERT_NE(result, kSample);
  bool syncRefused = false;
  for (const char* tempBase : {static_cast<const char*>(nullptr), test::OtherVolume()}) {
    if (tempBase != nullptr && *tempBase == '\0') continue;
    for (bool sticky : {false, true}) {
      for (long n = 1;; ++n) {
        ScratchRun run(kSample, tempBase);
        platform::SetFault(platform::kFaultAll | platform::kFaultAccess, n, sticky, ENOSPC);
        int rc = run.InPlace();
        std::string now = test::ReadFile(run.input);
        SCOPED_TRACE("operation " + std::to_string(n) + (sticky ? " and later" : "") +
                     (tempBase != nullptr ? " across volumes" : "") + "\n" + run.err);
        if (rc == 0) {
          EXPECT_EQ(Masked(now), result);
        } else {
          EXPECT_EQ(std::make_tuple(rc, now, run.out), std::make_tuple(1, kSample, std::string()));
          EXPECT_GT(run.err.size(), 117u);  // more than the banner
          syncRefused |= test::Has(run.err, "konnte nicht gesichert werden");
          std::string kept = "Der Eingangspuffer " + run.input + " ist unveraendert\n";
          EXPECT_TRUE(!test::Has(run.err, "Fehler beim Verschieben") || test::Has(run.err, kept));
        }
        if (run.counted < n) break;  // the run got through without meeting the fault
        ASSERT_LT(n, 10000);
      }
    }
  }
  EXPECT_TRUE(syncRefused) << "a result not forced to the disk must not replace the input";
}

// A replacement that fails half-done, the old buffer gone from its name:
// the report says so, after looking, and names where the result is.
TEST(RunKivex, HalfDoneReplacementIsReportedAsFound) {
  ScratchRun run(kSample);
  platform::SetFault(platform::kFaultHalfReplace, 1, false, EIO);
  EXPECT_EQ(run.InPlace(), 1);
  std::string tmp = run.temp + platform::kSeparator + "~KIVTAAA.TMP";
  EXPECT_TRUE(test::Has(run.err, "Fehler beim Verschieben des temporaeren Puffers: " + tmp +
                        " nach " + run.input + "\nFehler: " + platform::ErrorText(EIO) +
                        "\nUnter dem Namen " + run.input + " liegt keine Datei mehr\n"
                        "Der gefilterte temporaere Puffer hat den Namen: " + tmp + "\n"))
      << run.err;
  EXPECT_EQ(std::make_tuple(test::Exists(run.input), test::ReadFile(run.input + ".alt"),
                            test::Has(test::ReadFile(tmp), "FACE.BMP")),
            std::make_tuple(false, kSample, true));
}

// Across volumes the result is copied next to the input and that copy takes
// the input's rights (the end-to-end run across file systems shows them
// kept); the temporary buffer keeps its own, so its owner can still read it
// when the replacement fails.
TEST(RunKivex, AcrossVolumesTheCopyTakesTheRights) {
  const char* base = test::OtherVolume();
  if (*base == '\0') GTEST_SKIP() << "no second file system";
  ScratchRun run(kSample, base);
  test::MakeShared(run.input);
  platform::SetFault(platform::kFaultRename, 1, false, EACCES);
  EXPECT_EQ(run.InPlace(), 1);
  std::string tmp = run.temp + platform::kSeparator + "~KIVTAAA.TMP";
  // The input, the temporary buffer's rights, the copy (removed), the report.
  std::string kept = "Der Eingangspuffer " + run.input + " ist unveraendert\n";
  EXPECT_EQ(std::make_tuple(test::ReadFile(run.input), test::OwnerOnly(tmp),
                            test::Exists(run.dir.File("~KIVTAAA.TMP")), test::Has(run.err, kept)),
            std::make_tuple(kSample, true, false, true));
}

// The steps that make a result durable, in order: the temporary buffer's
// sync before the rename, the directory's after it; across file systems
// (the first rename fails with EXDEV) also the sync of the copy.
TEST(RunKivex, ResultIsOnTheDiskBeforeItReplacesTheInput) {
  for (bool across : {false, true}) {
    ScratchRun run(kSample);
    platform::RecordOps(platform::kFaultSync | platform::kFaultRename | platform::kFaultDirSync);
    if (across) platform::SetFault(platform::kFaultRename, 1, false, EXDEV);
    EXPECT_EQ(run.InPlace(), 0);
    EXPECT_EQ(run.record, across ? "SrSRD" : "SRD");
  }
}

// A name that another process takes between the probe and the creation
// (the probe made to miss the file) is never written over: the temporary
// buffer, the copy beside the input across file systems (the first rename
// fails with EXDEV), and a face file each go to the next name.
TEST(RunKivex, NameTakenAfterTheProbeIsSkipped) {
  // The taken name, the open after its probe, whether across file systems.
  struct Case { const char* taken; int open; bool across; } cases[] = {
      {"tmp/~KIVTAAA.TMP", 2, false}, {"~KIVTAAA.TMP", 3, true}, {"faces/KIVO0000.BMP", 2, false}};
  for (const Case& c : cases) {
    long probe = 0;
    std::string result;  // the input after the run, or its first face file
    for (bool dry : {true, false}) {
      ScratchRun run(kSample);
      bool faces = c.taken[0] == 'f';
      if (!dry) test::WriteFile(run.dir.File(c.taken), "fremd");
      platform::RecordOps(platform::kFaultProbe | platform::kFaultOpen);
      platform::SetFault(platform::kFaultRename, c.across ? 1 : 0, false, EXDEV);
      if (!dry) platform::AddFault(platform::kFaultProbe, probe, false, ENOENT);
      EXPECT_EQ(run.InPlace(faces ? "-x" + run.dir.File("faces") : ""), 0) << run.err;
      std::string record = run.record;
      // The dry run's probe of the name, counted up to its open.
      for (int opens = 0; dry && opens < c.open; probe += record[0] == 'P', record.erase(0, 1))
        opens += record[0] == 'O';
      std::string now = Masked(test::ReadFile(faces ? run.dir.File(dry ? "faces/KIVO0000.BMP" : "faces/KIVO0001.BMP") : run.input));
      if (!dry) {
        EXPECT_TRUE(test::ReadFile(run.dir.File(c.taken)) == "fremd" && now == result) << c.taken;
      }
      result = now;
    }
  }
}

// A message with more header lines than the pool's first records, lines
// longer than a piece, a face and its face message (filtered once), and one
// without a face: each allocation made to fail in turn, in place (which
// writes as -k does) and with -x. A run either gives the whole result or
// ends with a message, the input untouched and no line it wrote changed.
TEST(RunKivex, EveryFailingAllocationEndsTheRunWithoutChangingALine) {
  std::vector<std::string> lines = {"EMP: /t", "BET: " + std::string(300, 'b'), "X-L: " + std::string(3000, 'l')};
  for (int i = 0; i < 60; ++i) lines.push_back("X-N" + std::to_string(i) + ": " + std::string(i * 9, 'n'));
  lines.insert(lines.end(), {"MID: 1@t", "X-Face: " + test::SampleFaces()[4], "LEN: 3"});
  ScratchRun first(test::Message(lines, "abc") + test::Message({"EMP: /u", "LEN: 0"}, ""));
  ASSERT_EQ(first.InPlace(), 0);
  std::string original = test::ReadFile(first.input);
  for (bool faces : {false, true}) {
    auto written = [&](ScratchRun& run) {  // what a run has written so far
      return Masked(test::ReadFile(faces ? run.dir.File("faces/KIVO0000.BMP") : run.temp + "/~KIVTAAA.TMP"));
    };
    std::string result = faces ? "" : Masked(original);
    for (long n = 0;; ++n) {
      ScratchRun run(original);
      platform::SetFault(platform::kFaultAlloc, n, false, ENOMEM);  // none at 0
      int rc = run.InPlace(faces ? "-x" + run.dir.File("faces") : "");
      SCOPED_TRACE("allocation " + std::to_string(n) + "\n" + run.err);
      if (n == 0 && faces) result = written(run);
      if (rc == 0) {
        EXPECT_EQ(faces ? written(run) : Masked(test::ReadFile(run.input)), result);
      } else {
        EXPECT_TRUE(rc == 1 && test::ReadFile(run.input) == original);
        EXPECT_TRUE(test::Has(run.err, "Speicher"));
        EXPECT_EQ(result.compare(0, written(run).size(), written(run)), 0);
      }
      if (run.counted < n) break;
    }
  }
}

// Whatever another program writes to the buffer during a run stays in it:
// where the hold keeps the program out (Windows) the run goes on, else the
// run ends, saying so, and leaves the buffer as the other program left it.
// Appended at the last moment before the replacement, into a body that came
// only in part when the run began, or cut back inside a long body: never
// does a result with a cut message take the buffer's place or stand as -k.
TEST(RunKivex, BufferWrittenByAnotherProgramLosesNothing) {
  std::string first = test::Message({"EMP: a", "LEN: 10"}, "0123456789");
  std::string mail = test::Message({"EMP: neu", "LEN: 3"}, "neu");
  // Longer than a read block: its second block is read after the cut.
  std::string body(kReadBlock + 1000, 'L');
  std::string big = test::Message({"EMP: b", "LEN: " + std::to_string(body.size())}, body);
  const cOtherProgram cases[] = {
      {"appended before the replacement", first, mail, "check", 1, false, 0, 0},
      {"moved in before the replacement", first, mail, "check", 1, true, 0, 0},
      {"rest of a body appended", first + "EMP: c\r\nLEN: 4000\r\n\r\n" + std::string(1000, 'c'),
       std::string(3000, 'c') + mail, "read", 2, false, 0, 1},
      {"cut inside a long body", first + big, "", "read", 2, false, first.size() + 100, 0},
  };
  for (const cOtherProgram& c : cases) {
    for (std::string flag : {"", "-k"}) {
      ScratchRun run(c.buffer);
      std::string out = run.dir.File("out.puf");
      if (!flag.empty()) flag += out;
      gOther = c;
      gInput = run.input;
      gWritten = false;
      platform::SetStepHook(OtherProgram);
      int rc = run.InPlace(flag);
      SCOPED_TRACE(std::string(c.what) + " " + flag + "\n" + run.err);
      if (!gWritten) {
        // Held against writers: the run went on as if nobody had tried.
        EXPECT_EQ(std::make_tuple(rc, test::Has(run.err, kChanged)),
                  std::make_tuple(c.untouched, false));
        continue;
      }
      // Whole messages only in -k: none of the one that did not come as claimed.
      std::string now = c.cutTo > 0 ? c.buffer.substr(0, c.cutTo) : c.buffer + c.appended;
      bool whole = flag.empty() || test::ReadFile(out) == (c.step == "check" ? c.buffer : first);
      EXPECT_EQ(std::make_tuple(rc, run.out, test::Has(run.err, kChanged),
                                test::Has(run.err, "enthaelt nur den alten Stand"),
                                test::Has(run.err, "Nachrichtenkoerper"),
                                test::ReadFile(run.input) == now, whole),
                std::make_tuple(1, std::string(), true, flag.empty(), false, true, true));
    }
  }
}
