#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "console_capture.h"
#include "watch/change_report.h"

namespace {

/// One crafted record; unset fields take the values the platform would write.
struct Record {
    DWORD action;
    std::u16string name;
    std::optional<DWORD> nameLength = std::nullopt;  // default: the name's size in bytes
    std::optional<DWORD> next = std::nullopt;        // default: the following record, 0 in the last
};

/// Windows starts each record on a 4-byte boundary, Wine puts them end to end;
/// either way the count ends where the last name ends.
enum class Layout { Padded, EndToEnd };

/// Records laid out one way, then 'X's: a walk past the count shows in the output.
struct Buffer {
    std::vector<DWORD> words = std::vector<DWORD>(16, 0x58585858);
    DWORD size = 0;  // where the last name ends
    const BYTE* data() const { return reinterpret_cast<const BYTE*>(words.data()); }
};

Buffer build(const std::vector<Record>& records, Layout layout) {
    Buffer buffer;
    for (const Record& r : records) buffer.words.resize(buffer.words.size() + 5 + r.name.size() / 2, 0x58585858);
    BYTE* bytes = reinterpret_cast<BYTE*>(buffer.words.data());
    for (size_t i = 0, start = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        buffer.size = DWORD(start + 12 + r.name.size() * 2);
        const size_t end = layout == Layout::Padded ? (buffer.size + 3) / 4 * 4 : buffer.size;
        const DWORD header[3] = {r.next.value_or(i + 1 == records.size() ? 0 : DWORD(end - start)), r.action,
                                 r.nameLength.value_or(DWORD(r.name.size() * 2))};
        std::memset(bytes + start, 0, end - start);
        std::memcpy(bytes + start, header, sizeof header);
        std::memcpy(bytes + start + 12, r.name.data(), r.name.size() * 2);
        start = end;
    }
    return buffer;
}

std::string line(const std::string& label, const std::string& name) {
    return "    " + label + "    " + (name == "!" ? "Invalid filename length!" : "\"/w/" + name + "\"") + "\n";
}

const std::string kAdded = "FILE_ACTION_ADDED           ";
const std::string kRemoved = "FILE_ACTION_REMOVED         ";
const std::string kModified = "FILE_ACTION_MODIFIED        ";
const std::string kOld = "FILE_ACTION_RENAMED_OLD_NAME";
const std::string kNew = "FILE_ACTION_RENAMED_NEW_NAME";

struct ReportCase {
    const char* what;
    std::vector<Record> records;
    std::optional<DWORD> count;  // default: every byte of the records
    std::string lines;           // what follows the header line
};

std::vector<ReportCase> reportCases() {
    const std::string invalid = "    Notification size INVALID.\n";
    return {
        {"overflow", {{1, u"a"}}, 0, "    Notification OVERFLOW. (Can be normal under extreme load.)\n"},
        {"one byte", {{1, u"a"}}, 1, invalid},
        {"thirteen bytes", {{1, u"a"}}, 13, invalid},
        // 14 bytes for a lone one-character name: Windows does not pad the last record.
        {"fourteen bytes walked", {{1, u"a"}}, std::nullopt, line(kAdded, "a")},
        {"fifteen bytes walked", {{1, u"a"}}, 15, line(kAdded, "a")},
        {"sixteen bytes walked", {{1, u"a"}}, 16, line(kAdded, "a")},
        {"odd names one after another", {{1, u"a.txt"}, {3, u"abc"}, {4, u"one.txt"}, {5, u"b"}}, std::nullopt,
         line(kAdded, "a.txt") + line(kModified, "abc") + line(kOld, "one.txt") + line(kNew, "b")},
        {"single record", {{3, u"hello"}}, std::nullopt, line(kModified, "hello")},
        {"rename in order", {{4, u"old"}, {5, u"new"}, {2, u"gone"}}, std::nullopt,
         line(kOld, "old") + line(kNew, "new") + line(kRemoved, "gone")},
        {"unknown actions", {{0, u"a"}, {6, u"b"}, {0xFFFFFFFF, u"c"}}, std::nullopt,
         line("Unknown action 0            ", "a") + line("Unknown action 6            ", "b") +
             line("Unknown action -1           ", "c")},
        {"odd length rounds down", {{1, u"hello world", 11}}, std::nullopt, line(kAdded, "hello")},
        {"one byte name is empty", {{1, u"ab", 1}}, std::nullopt, line(kAdded, "")},
        {"zero length, walk goes on", {{2, u"", 0}, {1, u"b"}}, std::nullopt, line(kRemoved, "!") + line(kAdded, "b")},
        {"name in a sub-directory", {{1, u"a/b/c.txt"}}, std::nullopt, line(kAdded, "a/b/c.txt")},
        {"count is in code units", {{1, u"\u00e9\U0001F600z"}}, std::nullopt, line(kAdded, "\u00e9\U0001F600z")},
        {"name fills the count exactly", {{1, u"abcd"}}, std::nullopt, line(kAdded, "abcd")},
        {"next header past the count", {{1, u"a"}, {1, u"b"}}, 20, line(kAdded, "a")},
        {"name past the count", {{1, u"abcdef"}}, 16, ""},
        {"second name past the count", {{1, u"a"}, {1, u"bcdefg"}}, 28, line(kAdded, "a")},
        {"huge name length", {{1, u"a", 0xFFFFFFFF}}, std::nullopt, ""},
        {"next offset at the count", {{1, u"a", std::nullopt, 16}, {1, u"b"}}, 16, line(kAdded, "a")},
        {"next offset far away", {{1, u"a", std::nullopt, 0x10000}, {1, u"b"}}, std::nullopt, line(kAdded, "a")},
        {"next offset wraps", {{1, u"a", std::nullopt, 0xFFFFFFF0}, {1, u"b"}}, std::nullopt, line(kAdded, "a")},
        {"next offset odd", {{1, u"a", std::nullopt, 17}, {1, u"b"}}, std::nullopt, line(kAdded, "a")},
    };
}

std::string report(const Buffer& buffer, DWORD count) {
    return captured([&] { printChangeReport(count, buffer.data(), WString(W("/w/"))); });
}

TEST(PrintChangeReport, WalksRecordsWithinTheDeliveredBytes) {
    for (Layout layout : {Layout::Padded, Layout::EndToEnd}) {
        for (const ReportCase& c : reportCases()) {
            SCOPED_TRACE(std::string(c.what) + (layout == Layout::Padded ? ", padded" : ", end to end"));
            const Buffer buffer = build(c.records, layout);
            const DWORD count = c.count.value_or(buffer.size);
            EXPECT_EQ(report(buffer, count), "Notified with " + std::to_string(count) + " bytes.\n" + c.lines);
        }
    }
}

TEST(PrintChangeReport, OpeningQuoteIsThe37thCharacter) {
    for (const ReportCase& c : reportCases()) {
        const Buffer buffer = build(c.records, Layout::EndToEnd);
        std::istringstream lines(report(buffer, c.count.value_or(buffer.size)));
        std::string text;
        while (std::getline(lines, text)) {
            if (text.rfind("    FILE_ACTION_", 0) != 0 && text.rfind("    Unknown action ", 0) != 0) continue;
            ASSERT_GT(text.size(), 36u) << c.what;
            EXPECT_TRUE(text[36] == '"' || text.compare(36, std::string::npos, "Invalid filename length!") == 0)
                << c.what << ": " << text;
        }
    }
}

}  // namespace
