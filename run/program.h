// One run of Kivex, from the command line to the exit status.
#ifndef KIVEX_RUN_PROGRAM_H_
#define KIVEX_RUN_PROGRAM_H_

// Returns the exit status: 0 after a complete run, 1 after any failure,
// which the step that met it has reported.
int RunKivex(int argc, char** argv);

#endif  // KIVEX_RUN_PROGRAM_H_
