// Another Windows program that writes buffers, for the end-to-end tests:
// it opens a file for writing the way such programs do, sharing it for
// reading only.
//   other_writer try FILE    exit 0 when FILE could be opened for writing
//                            (nothing is written), 3 when another program
//                            holds it, 2 on any other failure
//   other_writer hold FILE   keeps FILE open for writing until standard
//                            input ends; prints "held" once it is open
//   other_writer lock FILE   the same, shared with nobody (as Explorer holds
//                            a picture folder's Thumbs.db)
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  bool alone = argc == 3 && strcmp(argv[1], "lock") == 0;
  if (argc != 3 || (strcmp(argv[1], "try") != 0 && strcmp(argv[1], "hold") != 0 && !alone))
    return 2;
  HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, alone ? 0 : FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? 3 : 2;
  if (strcmp(argv[1], "try") != 0) {
    printf("held\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
  }
  CloseHandle(file);
  return 0;
}
