// The command line: flags -k and -x (also written with '/'), their values
// glued on, then the input buffer's name.
#ifndef KIVEX_RUN_COMMAND_LINE_H_
#define KIVEX_RUN_COMMAND_LINE_H_

#include <cstdint>
#include <cstdio>

#include "buffer/cstring.h"

enum {
  OPT_INPLACE = 1,  // the filtered buffer is written into the input buffer itself
  OPT_INSERT = 2,   // face messages are inserted into an output buffer
  OPT_EXTRACT = 4,  // faces are stored as files; no buffer is written
};

struct RunOptions {
  int32_t flags = 0;
  cString inputBuffer;
  cString outputBuffer;
  cString extractDir;
};

// Fills the options from the command line and prints the banner. True when
// the run may go on; every false result has been explained on standard
// error (or, without arguments, by the usage text on standard output).
bool scan_args(int argc, char** argv, cString& inputBuffer, cString& outputBuffer,
               cString& extractDir, int32_t& flags);

void PrintUsage(FILE* stream);

#endif  // KIVEX_RUN_COMMAND_LINE_H_
