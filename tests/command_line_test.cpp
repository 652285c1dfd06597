#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/program_entry.h"
#include "console_capture.h"

namespace {

const char kTooMany[] = "\nToo many arguments. (Paths containing spaces must go in quotes.)\n";

/// An argument vector as the entry receives it, with the program's name first.
class Arguments {
public:
    explicit Arguments(std::vector<WString> arguments) : texts_(std::move(arguments)) {
        texts_.insert(texts_.begin(), W("pathwarden"));
        for (WString& text : texts_) pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts_.size()); }
    WCHAR** argv() { return pointers_.data(); }

private:
    std::vector<WString> texts_;
    std::vector<WCHAR*> pointers_;
};

TEST(ParseCommandLine, ClassifiesEveryArgument) {
    const struct {
        std::vector<WString> arguments;
        WString targetPath;
        bool recursive;
        bool showUsage;
        int tooManyLines;
    } cases[] = {
        {{}, W(""), true, false, 0},
        {{W("/srv/test")}, W("/srv/test"), true, false, 0},
        {{W("NoRecurse")}, W(""), false, false, 0},
        // The keyword in any A-Z case, before or after the path, repeated.
        {{W("noRECURSE"), W("/srv"), W("NORECURSE")}, W("/srv"), false, false, 0},
        // Prefixes are skipped for the help words only: these are paths.
        {{W("-NoRecurse")}, W("-NoRecurse"), true, false, 0},
        {{W("/srv"), W("/NoRecurse")}, W("/srv"), true, true, 1},
        {{W("-")}, W("-"), true, false, 0},
        {{W("-helpme")}, W("-helpme"), true, false, 0},
        // Help words, with any mix of dashes and slashes, also next to a path.
        {{W("/?")}, W(""), true, true, 0},
        {{W("-h")}, W(""), true, true, 0},
        {{W("--help")}, W(""), true, true, 0},
        {{W("/-HELP")}, W(""), true, true, 0},
        {{W("h")}, W(""), true, true, 0},
        {{W("/srv"), W("help")}, W("/srv"), true, true, 0},
        {{W("-h"), W("/srv"), W("NoRecurse")}, W("/srv"), false, true, 0},
        // Only A-Z fold: U+0168 would pass as h if cut to a byte, U+017F
        // (long s) and fullwidth letters under Unicode folding.
        {{W("\u0168")}, W("\u0168"), true, false, 0},
        {{W("NoRecur\u017Fe")}, W("NoRecur\u017Fe"), true, false, 0},
        {{W("\uFF28\uFF25\uFF2C\uFF30")}, W("\uFF28\uFF25\uFF2C\uFF30"), true, false, 0},
        // An empty argument is no path: a later path is accepted quietly.
        {{W("")}, W(""), true, false, 0},
        {{W(""), W("/srv")}, W("/srv"), true, false, 0},
        {{W("/srv"), W("")}, W("/srv"), true, false, 0},
        // Every argument is examined; each extra path is reported.
        {{W("/a"), W("/b")}, W("/a"), true, true, 1},
        {{W("/a"), W("/b"), W("/c")}, W("/a"), true, true, 2},
    };
    for (const auto& c : cases) {
        Arguments arguments(c.arguments);
        CommandLineOptions options;
        const std::string output = captured([&] { options = parseCommandLine(arguments.argc(), arguments.argv()); });
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(options.targetPath, c.targetPath);
        EXPECT_EQ(options.recursive, c.recursive);
        EXPECT_EQ(options.showUsage, c.showUsage);
        std::string tooMany;
        for (int line = 0; line < c.tooManyLines; ++line) tooMany += kTooMany;
        EXPECT_EQ(output, tooMany);
    }
}

TEST(ProgramMain, PrintsExtraPathLinesBeforeOneUsageBlock) {
    const std::string usage = captured(printUsage);
    ASSERT_EQ(usage.rfind("\nRun without any arguments to monitor ", 0), 0u) << usage;
    const std::pair<std::vector<WString>, std::string> cases[] = {
        {{W("--help")}, usage},
        {{W("/a"), W("/?")}, usage},
        {{W("/a"), W("/b")}, kTooMany + usage},
        {{W("/a"), W("/b"), W("/c")}, kTooMany + (kTooMany + usage)},
        {{W("/a"), W("h"), W("/b")}, kTooMany + usage},
    };
    for (const auto& [given, expected] : cases) {
        Arguments arguments(given);
        int status = 0;
        EXPECT_EQ(captured([&] { status = programMain(arguments.argc(), arguments.argv()); }), expected);
        EXPECT_EQ(status, -1);
    }
}

}  // namespace
