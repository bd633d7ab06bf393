#include "tests/test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace test {

ScratchDir::ScratchDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/kivex-test-XXXXXX";
  path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
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

FILE* StreamOf(const std::string& bytes) {
  FILE* stream = tmpfile();
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
