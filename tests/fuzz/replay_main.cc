// Replays kept fuzz inputs (seeds and every input that once crashed) through
// a fuzz target, so that each test run guards against their return.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) continue;
    while (struct dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream in(std::string(argv[i]) + "/" + entry->d_name, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      std::string input = bytes.str();
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
      ++replayed;
    }
    closedir(dir);
  }
  fprintf(stdout, "%d passed, 0 failed\n", replayed);
  return 0;
}
