#include "run/program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>

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

  test::ScratchDir dir, other;
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
// its old bytes or the complete result, and a failed run must say so. With
// the temporary directory on the input's volume and, where there is one, on
// another (the result is then copied next to the input).
TEST(RunKivex, EveryFailingOperationLeavesOldOrNewBuffer) {
  std::string original = test::ReadFile(KIVEX_TEST_DATA "/sample.puf");
  ScratchRun clean(original);
  ASSERT_EQ(clean.InPlace(), 0);
  std::string result = Masked(test::ReadFile(clean.input));
  ASSERT_NE(result, original);
  bool syncRefused = false;
  for (const char* tempBase : {static_cast<const char*>(nullptr), test::OtherVolume()}) {
    if (tempBase != nullptr && *tempBase == '\0') continue;
    for (bool sticky : {false, true}) {
      for (long n = 1;; ++n) {
        ScratchRun run(original, tempBase);
        platform::SetFault(platform::kFaultAll | platform::kFaultAccess, n, sticky, ENOSPC);
        int rc = run.InPlace();
        long counted = platform::FaultOpsCounted();
        platform::ClearFault();
        std::string now = test::ReadFile(run.input);
        SCOPED_TRACE("operation " + std::to_string(n) + (sticky ? " and later" : "") +
                     (tempBase != nullptr ? " across volumes" : "") + "\n" + run.err);
        if (rc == 0) {
          EXPECT_EQ(Masked(now), result);
        } else {
          EXPECT_EQ(rc, 1);
          EXPECT_EQ(now, original);
          EXPECT_EQ(run.out, "");
          EXPECT_GT(run.err.size(), 117u);  // more than the banner
          syncRefused |= run.err.find("konnte nicht gesichert werden") != std::string::npos;
        }
        if (rc == 1 && run.err.find("Fehler beim Verschieben") != std::string::npos) {
          EXPECT_NE(run.err.find("Der Eingangspuffer " + run.input + " ist unveraendert\n"),
                    std::string::npos);
        }
        if (counted < n) break;  // the run got through without meeting the fault
        ASSERT_LT(n, 10000);
      }
    }
  }
  EXPECT_TRUE(syncRefused) << "a result not forced to the disk must not replace the input";
}

// A replacement that fails half-done, the old buffer gone from its name:
// the report says so, after looking, and names where the result is.
TEST(RunKivex, HalfDoneReplacementIsReportedAsFound) {
  std::string original = test::ReadFile(KIVEX_TEST_DATA "/sample.puf");
  ScratchRun run(original);
  platform::SetFault(platform::kFaultHalfReplace, 1, false, EIO);
  EXPECT_EQ(run.InPlace(), 1);
  platform::ClearFault();
  std::string tmp = run.temp + platform::kSeparator + "~KIVTAAA.TMP";
  EXPECT_NE(run.err.find("Fehler beim Verschieben des temporaeren Puffers: " + tmp + " nach " +
                         run.input + "\nFehler: " + platform::ErrorText(EIO) +
                         "\nUnter dem Namen " + run.input + " liegt keine Datei mehr\n"
                         "Der gefilterte temporaere Puffer hat den Namen: " + tmp + "\n"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(test::Exists(run.input));
  EXPECT_EQ(test::ReadFile(run.input + ".alt"), original);
  EXPECT_NE(test::ReadFile(tmp), original);
  EXPECT_NE(test::ReadFile(tmp).find("FACE.BMP"), std::string::npos);
}

// Across volumes the result is copied next to the input and that copy takes
// the input's rights; the temporary buffer keeps its own, so its owner can
// still read it when the replacement fails.
TEST(RunKivex, AcrossVolumesTheCopyTakesTheRights) {
  const char* base = test::OtherVolume();
  if (*base == '\0') GTEST_SKIP() << "no second file system";
  std::string original = test::ReadFile(KIVEX_TEST_DATA "/sample.puf");
  ScratchRun run(original, base);
  test::MakeShared(run.input);
  platform::SetFault(platform::kFaultRename, 1, false, EACCES);
  EXPECT_EQ(run.InPlace(), 1);
  platform::ClearFault();
  std::string tmp = run.temp + platform::kSeparator + "~KIVTAAA.TMP";
  EXPECT_EQ(test::ReadFile(run.input), original);
  EXPECT_TRUE(test::OwnerOnly(tmp));
  EXPECT_FALSE(test::Exists(run.dir.File("~KIVTAAA.TMP"))) << "the copy is removed";
  EXPECT_NE(run.err.find("Der Eingangspuffer " + run.input + " ist unveraendert\n"),
            std::string::npos);
  ScratchRun again(original, base);
  test::MakeShared(again.input);
  ASSERT_EQ(again.InPlace(), 0);
  EXPECT_NE(test::ReadFile(again.input).find("FACE.BMP"), std::string::npos);
  EXPECT_FALSE(test::OwnerOnly(again.input));
  EXPECT_TRUE(std::filesystem::is_empty(again.temp));
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
