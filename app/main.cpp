#include "app/command_line.h"
#include "platform/program_entry.h"
#include "app/watch_loop.h"

int programMain(int argc, WCHAR** argv) {
    CommandLineOptions options = parseCommandLine(argc, argv);
    if (options.showUsage) {
        // Nothing has been opened yet: a help request or a second path ends the
        // run here, after every argument has been looked at.
        printUsage();
        return -1;
    }
    // Built as a temporary and moved in: assigning the pointer directly trips
    // g++ 12's false -Wrestrict alarm in std::basic_string at -O2.
    if (options.targetPath.empty()) options.targetPath = WString(kDefaultWatchPath);
    return runWatchLoop(options);
}
