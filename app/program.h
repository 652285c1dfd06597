// The program's own entry, called by the platform's main (Linux) or wmain
// (Windows) once the arguments are wide text.
#pragma once

#include "platform/platform.h"

/// Runs the program: parses the arguments, prints the usage block or watches.
/// Returns the exit status: 0 after a key press, -1 otherwise.
int programMain(int argc, WCHAR** argv);
