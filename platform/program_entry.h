// What the platform's process entry (main on Linux, wmain on Windows) hands
// over to once the arguments are wide text. Declared here, defined by the
// program itself (app/main.cpp), so the platform layer needs nothing from app/.
#pragma once

#include "platform/platform.h"

/// Runs the program: parses the arguments, prints the usage block or watches.
/// Returns the exit status: 0 after a key press, -1 otherwise.
int programMain(int argc, WCHAR** argv);
