#include "face/face_message.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const cXPMsg& msg) {
  std::vector<std::string> lines;
  for (int32_t i = 0; i < msg.Headers.Count(); ++i)
    lines.push_back(std::string(msg.Headers.At(i)->Name.Text()) + ": " +
                    msg.Headers.At(i)->Value.Text());
  return lines;
}

struct Built {
  Built() { bmp.Resize(447); }
  std::vector<std::string> From(std::vector<std::pair<const char*, const char*>> headers) {
    cXPMsg source;
    for (auto& h : headers) source.AddHeader(h.first, h.second);
    EXPECT_TRUE(BuildFaceMsg(bmp, source, face));
    return Lines(face);
  }
  cString bmp;
  cXPMsg face;
};

}  // namespace

TEST(BuildFaceMsg, TakesAndDerivesHeadersInSourceOrder) {
  Built b;
  auto lines = b.From({{"ABS", "a@b"}, {"BET", "Hallo"}, {"EDA", "20040807"}, {"emp", "/x"},
                       {"MID", "m@b"}, {"ROT", "r"}, {"X-Face", "v"}, {"LEN", "9"},
                       {"Bet", ""}, {"EMP", "/y"}});
  ASSERT_EQ(lines.size(), 12u);
  std::vector<std::string> head(lines.begin(), lines.begin() + 8);
  EXPECT_EQ(head, (std::vector<std::string>{"ABS: a@b", "BET: [face]  Hallo", "EDA: 20040807",
                                            "emp: /x", "BEZ: m@b", "ROT: r", "Bet: [face]  ",
                                            "EMP: /y"}));
  EXPECT_TRUE(std::regex_match(lines[8], std::regex("MID: [0-9]{14}_[0-9]+@kivex\\.face")));
  EXPECT_EQ(lines[9], "TYP: BIN");
  EXPECT_EQ(lines[10], "FILE: FACE.BMP");
  EXPECT_EQ(lines[11], "LEN: 446");
  EXPECT_EQ(b.face.Body.Size(), 446);
}

TEST(BuildFaceMsg, SerialsRiseUnderOneTimestamp) {
  Built b;
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(b.From({})[0]);
  EXPECT_EQ(b.From({}).size(), 4u);  // no BET, no BEZ without source headers
  std::smatch m;
  std::regex id("MID: ([0-9]{14})_([0-9]+)@kivex\\.face");
  ASSERT_TRUE(std::regex_match(ids[0], m, id));
  std::string stamp = m[1];
  int first = std::stoi(m[2]);
  for (int i = 1; i < 3; ++i) {
    ASSERT_TRUE(std::regex_match(ids[i], m, id));
    EXPECT_EQ(m[1], stamp);
    EXPECT_EQ(std::stoi(m[2]), first + i);
  }
}

TEST(MakeTimestamp, FourteenDigits) {
  cString text;
  MakeTimestamp(text);
  EXPECT_EQ(text.Length, 15);
  EXPECT_TRUE(std::regex_match(std::string(text.Text()), std::regex("20[0-9]{12}")));
}
