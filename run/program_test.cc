#include "run/program.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "tests/test_util.h"

using test::Message;

namespace {

// One in-place or -k run in this process, TMP pointing into the scratch
// directory, console output captured.
struct ScratchRun {
  explicit ScratchRun(const std::string& buffer) : input(dir.File("in.puf")), temp(dir.File("tmp")) {
    test::MakeDir(temp);
    test::WriteFile(input, buffer);
  }
  int Go(std::vector<std::string> args) {
    args.insert(args.begin(), "kivex");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    test::SetEnv("TMP", temp.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = RunKivex(static_cast<int>(argv.size()), argv.data());
    err = testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    test::SetEnv("TMP", nullptr);
    return rc;
  }
  int InPlace() { return Go({input}); }

  test::ScratchDir dir;
  std::string input, temp, out, err;
};

// Face message IDs differ from run to run.
std::string Masked(const std::string& bytes) {
  static const std::regex id("MID: [0-9]{14}_[0-9]+@kivex\\.face");
  return std::regex_replace(bytes, id, "MID: <id>");
}

std::string SampleBuffer() {
  std::string buffer;
  for (const char* name : {"smiley", "checker", "white"}) {
    buffer += Message({"EMP: /t", "BET: " + std::string(name), "X-Face: " + test::Face(name).value,
                       "LEN: 4"},
                      "body");
    buffer += Message({"EMP: /t", "LEN: 2000"}, std::string(2000, 'x'));
  }
  return buffer;
}

}  // namespace

// Makes the Nth output operation fail (alone, then with all after it), for
// every N until a run no longer reaches N: the input must then hold either
// its old bytes or the complete result, and a failed run must say so.
TEST(RunKivex, EveryFailingOperationLeavesOldOrNewBuffer) {
  std::string original = SampleBuffer();
  ScratchRun clean(original);
  ASSERT_EQ(clean.InPlace(), 0);
  std::string result = Masked(test::ReadFile(clean.input));
  ASSERT_NE(result, original);
  bool syncRefused = false;
  for (bool sticky : {false, true}) {
    for (long n = 1;; ++n) {
      ScratchRun run(original);
      platform::SetFault(platform::kFaultAll, n, sticky, ENOSPC);
      int rc = run.InPlace();
      long counted = platform::FaultOpsCounted();
      platform::ClearFault();
      std::string now = test::ReadFile(run.input);
      SCOPED_TRACE("operation " + std::to_string(n) + (sticky ? " and later" : "") + "\n" + run.err);
      if (rc == 0) {
        EXPECT_EQ(Masked(now), result);
      } else {
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(now, original);
        EXPECT_EQ(run.out, "");
        EXPECT_GT(run.err.size(), 117u);  // more than the banner
        syncRefused |= run.err.find("konnte nicht gesichert werden") != std::string::npos;
      }
      if (counted < n) break;  // the run got through without meeting the fault
      ASSERT_LT(n, 10000);
    }
  }
  EXPECT_TRUE(syncRefused) << "a result not forced to the disk must not replace the input";
}

TEST(RunKivex, AcrossFileSystemsTheResultIsCopiedBesideTheInput) {
  std::string original = SampleBuffer();
  ScratchRun clean(original);
  ASSERT_EQ(clean.InPlace(), 0);
  ScratchRun run(original);
#ifndef _WIN32
  chmod(run.input.c_str(), 0640);
#endif
  platform::SetFault(platform::kFaultRename, 1, false, EXDEV);  // copied beside the input
  ASSERT_EQ(run.InPlace(), 0) << run.err;
  EXPECT_EQ(Masked(test::ReadFile(run.input)), Masked(test::ReadFile(clean.input)));
#ifndef _WIN32
  struct stat st;
  stat(run.input.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
#endif
  EXPECT_FALSE(test::Exists(run.temp + "/~KIVTAAA.TMP"));
  EXPECT_FALSE(test::Exists(run.dir.File("~KIVTAAA.TMP")));
}

TEST(RunKivex, OutputThatIsTheInputIsRefused) {
  std::string original = SampleBuffer();
  ScratchRun run(original);
#ifdef _WIN32
  std::string other_spelling = run.dir.path() + "\\.\\IN.PUF";
#else
  std::string other_spelling = run.dir.File("link.puf");
  symlink(run.input.c_str(), other_spelling.c_str());
#endif
  for (std::string other : {run.input, run.dir.path() + "/./in.puf", other_spelling}) {
    EXPECT_EQ(run.Go({"-k" + other, run.input}), 1);
    EXPECT_NE(run.err.find("Ausgabepuffer " + other + " und Eingangspuffer " + run.input +
                           " sind dieselbe Datei\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(test::ReadFile(run.input), original);
  }
}

TEST(RunKivex, TemporaryNameTakenAfterTheProbeIsSkipped) {
  ScratchRun run(Message({"EMP: no length"}, ""));
  // The second open is the temporary buffer's: pretend another process
  // created the name in between.
  platform::SetFault(platform::kFaultOpen, 2, false, EEXIST);
  EXPECT_EQ(run.InPlace(), 1);
  platform::ClearFault();
  EXPECT_FALSE(test::Exists(run.temp + "/~KIVTAAA.TMP"));
  EXPECT_TRUE(test::Exists(run.temp + "/~KIVTAAB.TMP"));
}
