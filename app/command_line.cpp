#include "app/command_line.h"

namespace {

bool isHelpWord(const WCHAR* argument) {
    // Any mix of dashes and slashes may introduce a help word (/?, -h, --help,
    // /-HELP); the keyword and paths keep their prefixes.
    const WCHAR* key = argument;
    while (*key == W('-') || *key == W('/')) ++key;
    return _wcsicmp(key, W("h")) == 0 || _wcsicmp(key, W("help")) == 0 || _wcsicmp(key, W("?")) == 0;
}

void classifyArgument(const WCHAR* argument, CommandLineOptions& options) {
    if (_wcsicmp(argument, W("NoRecurse")) == 0) {
        options.recursive = false;
    } else if (isHelpWord(argument)) {
        options.showUsage = true;
    } else if (*argument == 0) {
        // An empty argument (a script's unset variable, say) is no path at all:
        // it neither becomes the path nor counts as a second one.
    } else if (!options.targetPath.empty()) {
        // Said when met, so that with three paths the user sees it twice, each
        // time before the usage block.
        consolePrint(W("\nToo many arguments. (Paths containing spaces must go in quotes.)\n"));
        options.showUsage = true;
    } else {
        options.targetPath = argument;
    }
}

/// Prints one complete line held in a variable. Its text goes through "%.*s"
/// rather than "%s" because substituted text has its line break shown as '?' on
/// a terminal; the break is written by the format itself instead.
void printLine(const WCHAR* line) {
    int length = 0;
    while (line[length] != 0) ++length;
    if (length > 0 && line[length - 1] == W('\n')) --length;
    consolePrint(W("%.*s\n"), length, line);
}

}  // namespace

CommandLineOptions parseCommandLine(int argc, WCHAR** argv) {
    CommandLineOptions options;
    for (int index = 1; index < argc; ++index) classifyArgument(argv[index], options);
    return options;
}

void printUsage() {
    consolePrint(W("\n"));
    consolePrint(W("Run without any arguments to monitor %s recursively.\n"), kDefaultWatchPath);
    consolePrint(W("Add the \"NoRecurse\" argument to monitor only the target and not sub-folders.\n"));
    consolePrint(W("Specify a folder path to monitor that instead of %s.\n"), kDefaultWatchPath);
    consolePrint(W("Examples:\n"));
    for (const WCHAR* example : kUsageExamples) printLine(example);
}
