#include "app/command_line.h"
#include "app/program.h"
#include "app/watch_loop.h"

int programMain(int argc, WCHAR** argv) {
    CommandLineOptions options = parseCommandLine(argc, argv);
    if (options.showUsage) {
        // Nothing has been opened yet: a help request or a second path ends the
        // run here, after every argument has been looked at.
        printUsage();
        return -1;
    }
    if (options.targetPath.empty()) options.targetPath = kDefaultWatchPath;
    return runWatchLoop(options);
}
