#include "run/command_line.h"

#include <gtest/gtest.h>

#include "platform/env.h"

#include <string>
#include <vector>

namespace {

const char kBannerBlock[] =
    "\nKivex v0.90.00 WIN32  Aug  7 2004\n"
    "unter Benutzung der Compface-Routinen von James Ashton (1990)\n\n";

struct Parsed {
  bool ok;
  std::string out, err;
  RunOptions options;
};

void Parse(std::vector<std::string> args, Parsed& p) {
  args.insert(args.begin(), "kivex");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.ok = scan_args(static_cast<int>(argv.size()), argv.data(), p.options.inputBuffer,
                   p.options.outputBuffer, p.options.extractDir, p.options.flags);
  p.err = testing::internal::GetCapturedStderr();
  p.out = testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(scan_args, Modes) {
  Parsed p;
  Parse({"puffer.puf"}, p);
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.options.flags, OPT_INPLACE | OPT_INSERT);
  EXPECT_EQ(p.err, kBannerBlock);
  EXPECT_EQ(p.out, "");
  Parsed k;
  Parse({"-kneu.puf", "puffer.puf"}, k);
  EXPECT_EQ(k.options.flags, OPT_INSERT);
  EXPECT_STREQ(k.options.outputBuffer.Text(), "neu.puf");
  Parsed x;
  Parse({"-xbilder", "puffer.puf"}, x);
  EXPECT_EQ(x.options.flags, OPT_EXTRACT);
  EXPECT_STREQ(x.options.extractDir.Text(), "bilder");
  // A flag after the buffer name is not looked at; a value may look like a flag.
  Parsed after;
  Parse({"puffer.puf", "-kneu.puf"}, after);
  EXPECT_EQ(after.options.flags, OPT_INPLACE | OPT_INSERT);
  Parsed dash;
  Parse({"-k-x", "puffer.puf"}, dash);
  EXPECT_STREQ(dash.options.outputBuffer.Text(), "-x");
  // Where '/' begins a path, an absolute input name is no flag.
  Parsed slash;
  Parse({"/xbilder"}, slash);
  EXPECT_EQ(slash.ok, !platform::IsFlagChar('/'));
  Parsed empty;
  Parse({""}, empty);
  EXPECT_TRUE(empty.ok);
  EXPECT_STREQ(empty.options.inputBuffer.Text(), "");
}

TEST(scan_args, EveryErrorHasItsMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-K", "p"}, "Kivex: Ungueltiges flag '-K'\n"},
      {{"-a", "p"}, "Kivex: Ungueltiges flag '-a'\n"},
      {{"-", "p"}, "Kivex: Ungueltiges flag '-'\n"},
      {{"-ka", "-kb", "p"}, "Flag -k nur einmal zulaessig\n"},
      {{"-ka", "-k", "p"}, "Flag -k nur einmal zulaessig\n"},
      {{"-k", "neu.puf", "p"}, "Flag -k muss im Format -kAusgabepuffer angegeben werden\n"},
      {{"-xa", "-xb", "p"}, "Flag -x nur einmal zulaessig\n"},
      {{"-x", "p"}, "Flag -x muss im Format -xExtraktionsverzeichnis angegeben werden\n"},
      {{"-xbilder", "-kneu.puf"}, "Puffername fehlt\n"},
      {{"-xbilder", "-kneu.puf", "p"},
       std::string(kBannerBlock) + "Von den Flags -x und -k darf nur eines angegeben werden\n"},
  };
  for (const Case& c : cases) {
    Parsed p;
    Parse(c.args, p);
    EXPECT_FALSE(p.ok) << c.err;
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(p.out, "");
  }
}

TEST(scan_args, NoArgumentsPrintsUsageOnStandardOutput) {
  Parsed p;
  Parse({}, p);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(p.out.substr(0, sizeof kBannerBlock - 1), kBannerBlock);
  EXPECT_NE(p.out.find("                      wird\n"), std::string::npos);
}
