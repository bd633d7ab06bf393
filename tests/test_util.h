// Helpers shared by the unit tests: scratch directories and whole files.
#ifndef KIVEX_TESTS_TEST_UTIL_H_
#define KIVEX_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <string>
#include <vector>

namespace test {

// A fresh directory under the system's temporary directory, removed with
// its contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// A stream opened "rb" on a temporary file holding `bytes`.
FILE* StreamOf(const std::string& bytes);
// Everything written to `stream` so far, from its start.
std::string Contents(FILE* stream);

struct SampleFace {
  std::string name;
  std::string value;    // the X-Face value
  std::string hexText;  // what uncompface prints for it, lines joined
};
// The drawn sample faces of the test data.
std::vector<SampleFace> SampleFaces();
SampleFace Face(const std::string& name);

// One buffer message: headers "Name: value" CR LF, the empty line, body.
std::string Message(const std::vector<std::string>& headers, const std::string& body);

}  // namespace test

#endif  // KIVEX_TESTS_TEST_UTIL_H_
