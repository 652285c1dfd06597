// The program's command line: one optional directory, the keyword NoRecurse,
// and the help words.
#pragma once

#include "platform/platform.h"

/// What the command line asked for. Owned by the entry for the whole run.
struct CommandLineOptions {
    /// The directory to watch, exactly as given; empty when no path was given.
    WString targetPath;
    /// Whether sub-directories at any depth are watched too (NoRecurse clears it).
    bool recursive = true;
    /// Set by a help word or a second path: print the usage block and end with -1.
    bool showUsage = false;
};

/// Examines argv[1] to argv[argc - 1], every one of them, in order:
///  - "NoRecurse" in any A-Z letter case (and with no prefix) clears recursive;
///  - "h", "help" or "?" after any run of leading '-' and '/' sets showUsage;
///  - an empty argument is ignored: it counts as no path;
///  - anything else is a path. The first one becomes targetPath unchanged;
///    each further one prints the too-many-arguments line at once and sets
///    showUsage.
/// argv[0], the program's own name, is never examined.
CommandLineOptions parseCommandLine(int argc, WCHAR** argv);

/// Prints the usage block: an empty line, then seven lines of help naming the
/// default directory and the platform's example command lines.
void printUsage();
