#include "run/program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
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
#include "run/journal.h"
#include "tests/test_util.h"

namespace {

// One in-place run in this process, console output captured.
struct ScratchRun {
  explicit ScratchRun(const std::string& buffer, const std::string& name = "")
      : dir(name), input(dir.File("in.puf")) {
    std::filesystem::create_directory(dir.File("faces"));
    test::WriteFile(input, buffer);
  }
  // In place, or with -k or -x when a flag is given. Ends the faults, the
  // record of operations and the step hook that a test set for the run.
  // A death test captures the console itself: `capture` false.
  int InPlace(std::string flag = "", bool capture = true) {
    char* argv[] = {const_cast<char*>("kivex"), &flag[0], &input[0]};
    if (flag.empty()) argv[1] = argv[2];
    if (capture) {
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
    }
    RestartFaceFileNumbers();  // as a new process
    int rc = RunKivex(flag.empty() ? 2 : 3, argv);
    if (capture) {
      err = testing::internal::GetCapturedStderr();
      out = testing::internal::GetCapturedStdout();
    }
    counted = platform::FaultOpsCounted();
    record = platform::RecordedOps();
    platform::ClearFault();
    platform::RecordOps(0);
    platform::SetStepHook(nullptr);
    return rc;
  }

  // Nothing but the buffer and the faces' directory: no journal, no lock.
  bool Clean() const {
    return std::distance(std::filesystem::directory_iterator(dir.path()),
                         std::filesystem::directory_iterator()) == 2;
  }

  test::ScratchDir dir;
  std::string input, out, err, record;
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

// A buffer that grows (faces inserted) and one that shrinks (a header line
// written tighter, no face), each larger than a piece copied at once (a
// read block's size). The growth ends across the first piece's end, so that
// a run can die with the grown room half written.
std::vector<std::string> Buffers() {
  std::string tail;
  for (int i = 0; i < 20; ++i) tail += kSample;
  auto big = [](size_t size) {
    return test::Message({"EMP: b", "LEN: " + std::to_string(size)}, std::string(size, 'L'));
  };
  return {kSample + big(kReadBlock - 30000 - 21 * kSample.size()) + tail,
          test::Message({"EMP: a", "X-XP-ARC: 30", "LEN: 1"}, "a") + big(kReadBlock)};
}

// What a clean in-place run makes of `buffer`, IDs masked.
std::string Filtered(const std::string& buffer) {
  ScratchRun run(buffer);
  EXPECT_EQ(run.InPlace(), 0) << run.err;
  return Masked(test::ReadFile(run.input));
}

// Makes the Nth file operation fail (alone, then with all after it), for
// every N until a run no longer reaches N. A failed run leaves the buffer
// as it was and nothing beside it, or, once it has begun to write the
// buffer, the journal from which the next run completes it. The system's
// reason, where it is shown, is German, and one failure shows it once.
TEST(RunKivex, EveryFailingOperationLeavesOldOrNewBuffer) {
  for (const std::string& buffer : Buffers()) {
    std::string result = Filtered(buffer);
    ASSERT_NE(result, buffer);
    for (bool sticky : {false, true}) {
      for (long n = 1;; ++n) {
        ScratchRun run(buffer);
        platform::SetFault(platform::kFaultAll, n, sticky, ENOSPC);
        int rc = run.InPlace();
        SCOPED_TRACE("operation " + std::to_string(n) + (sticky ? " and later" : "") + "\n" +
                     run.err);
        std::string now = Masked(test::ReadFile(run.input));
        std::string why = std::string("Fehler: ") + platform::ErrorText(ENOSPC) + "\n";
        size_t first = run.err.find("Fehler: ");
        if (first != std::string::npos) {
          EXPECT_EQ(run.err.substr(first, why.size()), why);
          EXPECT_TRUE(sticky || run.err.find("Fehler: ", first + 1) == std::string::npos);
        }
        if (rc == 0) {
          EXPECT_TRUE(now == result && run.Clean());
        } else if (test::Exists(JournalName(run.input.c_str()))) {
          EXPECT_TRUE(test::Has(run.err, "stellt ihn mit dem Journal"));
          EXPECT_EQ(run.InPlace(), 0) << run.err;
          EXPECT_TRUE(Masked(test::ReadFile(run.input)) == result && run.Clean());
        } else {
          EXPECT_TRUE(rc == 1 && now == buffer && run.out.empty() && run.Clean());
        }
        if (run.counted < n) break;  // the run got through without meeting the fault
        ASSERT_LT(n, 10000);
      }
    }
  }
}

// A run that dies at any step (killed, the power lost: a step hook ends the
// process there), then a deliverer's append, then the next run: the
// buffer ends up as if the run had never died, with the mail behind it.
TEST(RunKivex, RunDeadAtAnyStepLosesNothing) {
  const std::string mail = test::Message({"EMP: neu", "LEN: 3"}, "neu");
  const std::pair<const char*, int> steps[] = {{"read", 2}, {"journal", 1}, {"check", 1},
                                               {"resized", 1}, {"copy", 1}, {"copy", 2},
                                               {"written", 1}, {"done", 1}};
  static std::pair<const char*, int> gDieAt;
  int kind = 0;
  for (const std::string& buffer : Buffers()) {
    std::string result = Filtered(buffer + mail);
    ++kind;
    for (const auto& step : steps) {
      std::string where = std::string(step.first) + "-" + std::to_string(step.second);
      SCOPED_TRACE(where);
      // Where a death test starts the program anew, it finds the same buffer.
      ScratchRun run(buffer, "dead-" + std::to_string(kind) + "-" + where);
      gDieAt = step;
      platform::SetStepHook([](const char* now) {
        if (strcmp(now, gDieAt.first) == 0 && --gDieAt.second == 0) _exit(3);
      });
      EXPECT_EXIT(run.InPlace("", false), testing::ExitedWithCode(3), "");
      platform::SetStepHook(nullptr);
      test::AppendFile(run.input, mail);
      EXPECT_EQ(run.InPlace(), 0) << run.err;
      EXPECT_TRUE(Masked(test::ReadFile(run.input)) == result && run.Clean()) << run.err;
    }
  }
}

// A journal is applied only to the buffer it was made for, as that run
// left it: not after another program rewrote the buffer (a mail reader
// that emptied it, new mail since), and never one that this account's
// Kivex did not make. Both stay as they are, and so does the mail.
TEST(RunKivex, JournalThatNoLongerFitsIsNeverApplied) {
  ScratchRun run(Buffers()[0], "stale");
  platform::SetStepHook([](const char* step) {
    if (strcmp(step, "copy") == 0) _exit(3);
  });
  EXPECT_EXIT(run.InPlace("", false), testing::ExitedWithCode(3), "");
  platform::SetStepHook(nullptr);
  std::string mail;
  for (int i = 0; i < 400; ++i) mail += test::Message({"EMP: neu" + std::to_string(i), "LEN: 3"}, "neu");
  test::WriteFile(run.input, mail);
  std::string journal = JournalName(run.input.c_str());
  for (int again = 0; again < 2; ++again) {
    EXPECT_EQ(run.InPlace(), 1);
    EXPECT_TRUE(test::Has(run.err, "passt nicht mehr zum Puffer")) << run.err;
    EXPECT_TRUE(test::ReadFile(run.input) == mail && test::Exists(journal));
  }
#ifndef _WIN32
  chmod(journal.c_str(), 0644);  // as if another account had put it there
  EXPECT_EQ(run.InPlace("-k" + run.dir.File("out.puf")), 1);
  EXPECT_TRUE(test::Has(run.err, "ist nicht von Kivex") && test::ReadFile(run.input) == mail);
#endif
}

// The journal is on the disk before the buffer is touched, and the buffer
// before the journal goes: the syncs and the size change in order.
TEST(RunKivex, JournalReachesTheDiskFirst) {
  ScratchRun run(kSample);
  platform::RecordOps(platform::kFaultSync | platform::kFaultResize | platform::kFaultDirSync);
  EXPECT_EQ(run.InPlace(), 0);
  // Journal, trailer, its entry; new size, its state; the new bytes; the entry gone.
  EXPECT_EQ(run.record, "SSDRSSSD");
}

// A face file name that another process takes between the probe and the
// creation (the probe made to miss the file) is never written over.
TEST(RunKivex, NameTakenAfterTheProbeIsSkipped) {
  long probe = 0;
  std::string result;  // the first face file
  for (bool dry : {true, false}) {
    ScratchRun run(kSample);
    std::string taken = run.dir.File("faces/KIVO0000.BMP");
    if (!dry) test::WriteFile(taken, "fremd");
    platform::RecordOps(platform::kFaultProbe | platform::kFaultOpen);
    if (!dry) platform::SetFault(platform::kFaultProbe, probe, false, ENOENT);
    EXPECT_EQ(run.InPlace("-x" + run.dir.File("faces")), 0) << run.err;
    std::string record = run.record;
    // The dry run's probe of the name, counted up to the face file's open.
    for (int opens = 0; dry && opens < 2; probe += record[0] == 'P', record.erase(0, 1))
      opens += record[0] == 'O';
    std::string now = test::ReadFile(run.dir.File(dry ? "faces/KIVO0000.BMP" : "faces/KIVO0001.BMP"));
    if (!dry) {
      EXPECT_TRUE(test::ReadFile(taken) == "fremd" && now == result);
    }
    result = now;
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
      return faces ? test::ReadFile(run.dir.File("faces/KIVO0000.BMP")) : std::string();
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
        EXPECT_TRUE(rc == 1 && test::ReadFile(run.input) == original && run.Clean());
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
// Appended at the last moment before the rewrite, into a body that came
// only in part when the run began, or cut back inside a long body: never
// does a result with a cut message take the buffer's place or stand as -k.
TEST(RunKivex, BufferWrittenByAnotherProgramLosesNothing) {
  std::string first = test::Message({"EMP: a", "LEN: 10"}, "0123456789");
  std::string mail = test::Message({"EMP: neu", "LEN: 3"}, "neu");
  // Longer than a read block: its second block is read after the cut.
  std::string body(kReadBlock + 1000, 'L');
  std::string big = test::Message({"EMP: b", "LEN: " + std::to_string(body.size())}, body);
  const cOtherProgram cases[] = {
      {"appended before the rewrite", first, mail, "check", 1, false, 0, 0},
      {"moved in before the rewrite", first, mail, "check", 1, true, 0, 0},
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
                                test::Has(run.err, "Nachrichtenkoerper"),
                                test::ReadFile(run.input) == now, whole),
                std::make_tuple(1, std::string(), true, false, true, true));
    }
  }
}
