#include "run/program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>

#include "platform/fault.h"
#include "tests/test_util.h"

namespace {

// One in-place run in this process, TMP pointing into the scratch directory,
// console output captured.
struct ScratchRun {
  explicit ScratchRun(const std::string& buffer) : input(dir.File("in.puf")), temp(dir.File("tmp")) {
    std::filesystem::create_directory(temp);
    test::WriteFile(input, buffer);
  }
  int InPlace() {
    char* argv[] = {const_cast<char*>("kivex"), &input[0]};
    test::SetEnv("TMP", temp.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = RunKivex(2, argv);
    err = testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    test::SetEnv("TMP", nullptr);
    return rc;
  }

  test::ScratchDir dir;
  std::string input, temp, out, err;
};

// Face message IDs differ from run to run.
std::string Masked(const std::string& bytes) {
  static const std::regex id("MID: [0-9]{14}_[0-9]+@kivex\\.face");
  return std::regex_replace(bytes, id, "MID: <id>");
}

}  // namespace

// Makes the Nth output operation fail (alone, then with all after it), for
// every N until a run no longer reaches N: the input must then hold either
// its old bytes or the complete result, and a failed run must say so.
TEST(RunKivex, EveryFailingOperationLeavesOldOrNewBuffer) {
  std::string original = test::ReadFile(KIVEX_TEST_DATA "/sample.puf");
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

TEST(RunKivex, TemporaryNameTakenAfterTheProbeIsSkipped) {
  ScratchRun run("EMP: no length\r\n\r\n");
  // The second open is the temporary buffer's: pretend another process
  // created the name in between.
  platform::SetFault(platform::kFaultOpen, 2, false, EEXIST);
  EXPECT_EQ(run.InPlace(), 1);
  platform::ClearFault();
  EXPECT_FALSE(test::Exists(run.temp + "/~KIVTAAA.TMP"));
  EXPECT_TRUE(test::Exists(run.temp + "/~KIVTAAB.TMP"));
}
