// Helpers shared by the unit tests: scratch directories, whole files,
// streams on scratch files, the drawn sample faces, buffer messages.
#ifndef KIVEX_TESTS_TEST_UTIL_H_
#define KIVEX_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace test {

// A fresh directory under the system's temporary directory, removed with
// its contents when the object goes. The test program stops when none can
// be made: a test without a directory of its own would write elsewhere.
class ScratchDir {
 public:
  // With a `name`, always the same directory, made anew: a process started
  // again for a death test finds the one its parent prepared.
  explicit ScratchDir(const std::string& name = "") {
    std::random_device seed;
    std::error_code err;
    std::string baseDir = std::filesystem::temp_directory_path(err).string();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string dir = baseDir + "/kivex-test-" + (name.empty() ? std::to_string(seed()) : name);
      if (!name.empty()) std::filesystem::remove_all(dir, err);
      if (std::filesystem::create_directory(dir, err)) path_ = dir;
    }
    if (path_.empty()) {
      fprintf(stderr, "no scratch directory under %s\n", baseDir.c_str());
      abort();
    }
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline void AppendFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}


// A stream for reading and writing on a new file of a scratch directory
// (tmpfile() writes to the drive's root on Windows, often not allowed).
inline FILE* TempStream() {
  static ScratchDir dir;
  static int serial = 0;
  return fopen(dir.File("stream" + std::to_string(++serial)).c_str(), "w+b");
}

// A stream on a scratch file holding `bytes`, at its start.
inline FILE* StreamOf(const std::string& bytes) {
  FILE* stream = TempStream();
  fwrite(bytes.data(), 1, bytes.size(), stream);
  rewind(stream);
  return stream;
}

// Everything written to `stream` so far, from its start.
inline std::string Contents(FILE* stream) {
  fflush(stream);
  std::string bytes(static_cast<size_t>(ftell(stream)), '\0');
  rewind(stream);
  bytes.resize(fread(&bytes[0], 1, bytes.size(), stream));
  return bytes;
}

// The X-Face values of the drawn sample faces: white, black, topleft,
// corners, smiley, checker.
inline std::vector<std::string> SampleFaces() {
  std::vector<std::string> faces;
  std::ifstream in(std::string(KIVEX_TEST_DATA) + "/faces.tsv");
  std::string name, value, hexText;
  while (std::getline(in, name, '\t') && std::getline(in, value, '\t') && std::getline(in, hexText)) {
    if (name[0] != '#') faces.push_back(value);
  }
  return faces;
}

// One buffer message: headers "Name: value" CR LF, the empty line, body.
inline std::string Message(const std::vector<std::string>& headers, const std::string& body) {
  std::string bytes;
  for (const std::string& header : headers) bytes += header + "\r\n";
  return bytes + "\r\n" + body;
}

}  // namespace test

#endif  // KIVEX_TESTS_TEST_UTIL_H_
