// Feeds arbitrary argument vectors to the command-line classification: it must
// never crash, and it must agree with what the arguments say.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/command_line.h"
#include "tests/fuzz/silence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool silenced = silenceStandardOutput();
    // Arguments are separated by zero code units, as in a real vector.
    std::vector<WString> arguments{W("pathwarden")};
    arguments.emplace_back();
    for (size_t at = 0; at + 1 < size; at += 2) {
        const WCHAR unit = static_cast<WCHAR>(data[at] | data[at + 1] << 8);
        if (unit == 0) {
            arguments.emplace_back();
        } else {
            arguments.back().push_back(unit);
        }
    }
    std::vector<WCHAR*> argv;
    for (WString& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const CommandLineOptions options = parseCommandLine(static_cast<int>(arguments.size()), argv.data());
    // A path is always one of the arguments, unchanged.
    if (!options.targetPath.empty()) {
        bool found = false;
        for (size_t i = 1; i < arguments.size(); ++i) found = found || arguments[i] == options.targetPath;
        if (!found) std::abort();
    }
    return 0;
}
