#include "tests/test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace test {

ScratchDir::ScratchDir() {
  std::random_device seed;
  std::error_code err;
  std::string base = std::filesystem::temp_directory_path(err).string();
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::string name = base + "/kivex-test-" + std::to_string(seed());
    if (std::filesystem::create_directory(name, err)) path_ = name;
  }
  // Without a directory of its own a test would write elsewhere: stop here.
  if (path_.empty()) {
    fprintf(stderr, "no scratch directory under %s\n", base.c_str());
    abort();
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

void MakeDir(const std::string& path) { std::filesystem::create_directory(path); }

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv((std::string(name) + "=" + (value != nullptr ? value : "")).c_str());
#else
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
#endif
}

FILE* TempStream() {
  // tmpfile() writes to the drive's root on Windows, often not allowed.
  static ScratchDir dir;
  static int serial = 0;
  return fopen(dir.File("stream" + std::to_string(++serial)).c_str(), "w+b");
}

FILE* StreamOf(const std::string& bytes) {
  FILE* stream = TempStream();
  fwrite(bytes.data(), 1, bytes.size(), stream);
  rewind(stream);
  return stream;
}

std::string Contents(FILE* stream) {
  fflush(stream);
  std::string bytes(static_cast<size_t>(ftell(stream)), '\0');
  rewind(stream);
  bytes.resize(fread(&bytes[0], 1, bytes.size(), stream));
  return bytes;
}

std::vector<SampleFace> SampleFaces() {
  std::vector<SampleFace> faces;
  std::ifstream in(std::string(KIVEX_TEST_DATA) + "/faces.tsv");
  std::string name, value, hexText;
  while (std::getline(in, name, '\t') && std::getline(in, value, '\t') &&
         std::getline(in, hexText)) {
    if (name[0] != '#') faces.push_back({name, value, hexText});
  }
  return faces;
}

SampleFace Face(const std::string& name) {
  for (const SampleFace& face : SampleFaces()) {
    if (face.name == name) return face;
  }
  return {};
}

std::string Message(const std::vector<std::string>& headers, const std::string& body) {
  std::string bytes;
  for (const std::string& header : headers) bytes += header + "\r\n";
  return bytes + "\r\n" + body;
}

}  // namespace test
