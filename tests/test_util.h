// Helpers shared by the unit tests: scratch directories and whole files.
#ifndef KIVEX_TESTS_TEST_UTIL_H_
#define KIVEX_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <string>
#include <vector>

namespace test {

// A fresh directory under the system's temporary directory, removed with
// its contents when the object goes. The test program stops when none can
// be made.
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
void MakeDir(const std::string& path);
// Sets an environment variable; a null value removes it.
void SetEnv(const char* name, const char* value);
// A stream for reading and writing on a new file of a scratch directory.
FILE* TempStream();
// A stream opened on a temporary file holding `bytes`, at its start.
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
