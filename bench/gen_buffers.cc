// Writes the benchmark's input buffers, deterministically from a seed.
//
//   gen_buffers plain OUT BYTES SEED       mail-like messages, no faces
//   gen_buffers distinct OUT COUNT SEED    every message a different face
//   gen_buffers realistic OUT COUNT SEED   30% with one of 2000 faces, Zipf 1.1
//   gen_buffers lines OUT COUNT SEED       COUNT lines "A: b" and no empty line
//   gen_buffers longline OUT BYTES SEED    one message with a header line of BYTES
//
// Beside each buffer with faces, OUT.values lists the X-Face value of every
// face occurrence, one a line, for the bare library loop.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <compface.h>
}

namespace {

std::mt19937_64 gRandom;

size_t Uniform(size_t lo, size_t hi) {
  return lo + static_cast<size_t>(gRandom() % (hi - lo + 1));
}

std::string Text(size_t size) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789.,-";
  std::string text(size, ' ');
  for (char& c : text) c = kChars[gRandom() % (sizeof kChars - 1)];
  return text;
}

// Body sizes from 100 bytes to 64 KiB, about 3 KB on average.
size_t BodySize() {
  double size = 100 + std::exponential_distribution<double>(1.0 / 2900)(gRandom);
  return static_cast<size_t>(size < 65536 ? size : 65536);
}

std::string Body(size_t size) {
  std::string body = Text(size);
  // Some bodies carry CR, LF and NUL bytes, as binary attachments do.
  if (gRandom() % 4 == 0) {
    for (size_t i = 0; i < size / 40 + 1; ++i) body[gRandom() % size] = "\r\n\0"[gRandom() % 3];
  }
  return body;
}

std::string Message(size_t serial, const std::string& face) {
  static const char* const kNames[] = {"ABS", "BET", "EDA", "ROT", "STAT", "X-XP-NTP",
                                       "X-XP-MID", "KOP", "U-X-Mailer", "X-XP-ARC", "X_C",
                                       "U-Content-Type", "U-Mime-Version", "X-XP-FTO"};
  std::string msg = "EMP: /brett/test\r\nMID: " + std::to_string(serial) + "@bench.example\r\n";
  size_t lines = Uniform(8, 13);
  for (size_t i = 0; i < lines; ++i) {
    const char* name = kNames[gRandom() % (sizeof kNames / sizeof *kNames)];
    bool tight = strcmp(name, "X-XP-ARC") == 0 || strcmp(name, "X_C") == 0;
    msg += std::string(name) + (tight ? ":" : ": ") + Text(Uniform(2, 60)) + "\r\n";
  }
  if (!face.empty()) msg += "X-Face: " + face + "\r\n";
  std::string body = Body(BodySize());
  return msg + "LEN: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A random 48x48 picture, compressed with the library's own compface().
std::string RandomFace() {
  char buffer[8192];
  std::string hex;
  for (int row = 0; row < 48; ++row) {
    for (int word = 0; word < 3; ++word) {
      char text[8];
      snprintf(text, sizeof text, "0x%04X,", static_cast<unsigned>(gRandom() & 0xFFFF));
      hex += text;
    }
    hex += "\n";
  }
  strcpy(buffer, hex.c_str());
  if (compface(buffer) < 0) abort();
  std::string value;
  for (char* p = buffer; *p != '\0'; ++p) {
    if (*p != '\n') value += *p;  // unfolded, as a header value
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: gen_buffers plain|distinct|realistic|lines|longline OUT AMOUNT SEED\n");
    return 2;
  }
  std::string kind = argv[1];
  std::string out = argv[2];
  unsigned long long amount = strtoull(argv[3], nullptr, 10);
  gRandom.seed(strtoull(argv[4], nullptr, 10));
  FILE* buffer = fopen(out.c_str(), "wb");
  bool faces = kind == "distinct" || kind == "realistic";
  FILE* values = faces ? fopen((out + ".values").c_str(), "wb") : nullptr;
  if (buffer == nullptr || (faces && values == nullptr)) return 1;
  // Hostile buffers: a header block that never ends, a header line of hundreds of MB.
  if (kind == "lines" || kind == "longline") {
    std::string chunk = kind == "lines" ? std::string("A: b\r\n") : std::string(1 << 20, 'a');
    if (kind == "longline") fputs("EMP: /brett/test\r\nBET: ", buffer);
    for (unsigned long long done = 0; done < amount; done += kind == "lines" ? 1 : chunk.size())
      fwrite(chunk.data(), 1, kind == "lines" ? chunk.size() : std::min<size_t>(chunk.size(), amount - done), buffer);
    if (kind == "longline") fputs("\r\nLEN: 0\r\n\r\n", buffer);
  } else if (kind == "plain") {
    unsigned long long written = 0;
    for (size_t serial = 0; written < amount; ++serial) {
      std::string msg = Message(serial, "");
      fwrite(msg.data(), 1, msg.size(), buffer);
      written += msg.size();
    }
  } else if (kind == "distinct") {
    for (size_t serial = 0; serial < amount; ++serial) {
      std::string face = RandomFace();
      std::string msg = Message(serial, face);
      fwrite(msg.data(), 1, msg.size(), buffer);
      fprintf(values, "%s\n", face.c_str());
    }
  } else {
    std::vector<std::string> faces;
    std::vector<double> weights;
    for (int i = 0; i < 2000; ++i) {
      faces.push_back(RandomFace());
      weights.push_back(1.0 / std::pow(i + 1, 1.1));
    }
    std::discrete_distribution<size_t> popularity(weights.begin(), weights.end());
    for (size_t serial = 0; serial < amount; ++serial) {
      std::string face = gRandom() % 10 < 3 ? faces[popularity(gRandom)] : "";
      std::string msg = Message(serial, face);
      // Small messages: cut the body short.
      size_t header = msg.find("\r\n\r\n") + 4;
      std::string body = msg.substr(header, Uniform(50, 800));
      msg = msg.substr(0, msg.rfind("LEN: ", header)) + "LEN: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
      fwrite(msg.data(), 1, msg.size(), buffer);
      if (!face.empty()) fprintf(values, "%s\n", face.c_str());
    }
  }
  return fclose(buffer) == 0 && (values == nullptr || fclose(values) == 0) ? 0 : 1;
}
