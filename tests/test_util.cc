#include "tests/test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace test {

namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kivex-test-XXXXXX";
  char* made = mkdtemp(&pattern[0]);
  path_ = made != nullptr ? made : "";
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

FILE* StreamOf(const std::string& bytes) {
  FILE* stream = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), stream);
  rewind(stream);
  return stream;
}

std::string Contents(FILE* stream) {
  fflush(stream);
  long end = ftell(stream);
  std::string bytes(static_cast<size_t>(end), '\0');
  rewind(stream);
  size_t got = fread(&bytes[0], 1, bytes.size(), stream);
  bytes.resize(got);
  return bytes;
}

std::vector<SampleFace> SampleFaces() {
  std::vector<SampleFace> faces;
  std::ifstream in(std::string(KIVEX_TEST_DATA) + "/faces.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t a = line.find('\t');
    size_t b = line.find('\t', a + 1);
    faces.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
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
