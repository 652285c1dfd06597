// Whatever bytes a Linux name holds, its record is one line of its own that
// gives the name back: a script reading the report line by line can neither be
// fooled by a crafted name nor lose one.
#include "platform/linux/utf16.h"
#include "tests/console_capture.h"
#include "watch/change_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string kWatched = "/w/";
const std::string kLinePrefix = "    FILE_ACTION_ADDED               \"";

/// Reads the escapes back as bytes, as a script decoding the report does;
/// nothing when the text holds what the program never writes between quotes.
std::optional<std::string> unquote(const std::string& text) {
    static const std::string kLetters = "abtnvfr";  // \a is 7, \r is 13
    auto isOctal = [&](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '7'; };
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') return std::nullopt;
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
            bytes += text[++i];
        } else if (i + 1 < text.size() && kLetters.find(text[i + 1]) != std::string::npos) {
            bytes += static_cast<char>(7 + kLetters.find(text[++i]));
        } else if (isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3) && text[i + 1] <= '3') {
            bytes += static_cast<char>((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3 | (text[i + 3] - '0'));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

/// Whether text is valid UTF-8 holding no control and no Unicode line break.
/// The decoder marks every byte outside a valid sequence as a lone U+DCxx.
bool isPlainUtf8(const std::string& text) {
    const WString units = utf16FromBytes(text);
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        const bool pairHalf = i > 0 && units[i - 1] >= 0xD800 && units[i - 1] <= 0xDBFF;
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029 ||
            (unit >= 0xDC80 && unit <= 0xDCFF && !pairHalf))
            return false;
    }
    return true;
}

/// The report of one change to a file of this name, as the engine delivers it.
std::string reportOf(const std::string& name) {
    const WString units = utf16FromBytes(name);
    std::vector<BYTE> record(12 + units.size() * sizeof(WCHAR));
    const DWORD header[3] = {0, FILE_ACTION_ADDED, static_cast<DWORD>(units.size() * sizeof(WCHAR))};
    std::memcpy(record.data(), header, sizeof header);
    std::memcpy(record.data() + 12, units.data(), units.size() * sizeof(WCHAR));
    return captured([&] {
        printChangeReport(static_cast<DWORD>(record.size()), record.data(), utf16FromBytes(kWatched));
    });
}

void expectOneLineGivingBack(const std::string& name) {
    const std::string output = reportOf(name);
    const size_t headerEnd = output.find('\n') + 1;
    // The count is that of the real name's record, however long its escapes.
    const size_t units = utf16FromBytes(name).size();
    ASSERT_EQ(output.substr(0, headerEnd), "Notified with " + std::to_string(12 + 2 * units) + " bytes.\n");
    const std::string line = output.substr(headerEnd);
    ASSERT_TRUE(line.starts_with(kLinePrefix) && line.ends_with("\"\n")) << line;
    const std::string quoted = line.substr(kLinePrefix.size(), line.size() - kLinePrefix.size() - 2);
    EXPECT_TRUE(isPlainUtf8(quoted)) << quoted;
    EXPECT_EQ(unquote(quoted), kWatched + name) << quoted;
}

/// Any byte but '/' and NUL, a character the escapes care about as UTF-8, or
/// a stretch of letters, long enough to fill the blocks a scan may take at once.
std::string randomPiece(std::mt19937& random) {
    static const char* const kCharacters[] = {"\xC2\x85", "\xC2\x9B", "\xC2\xA0", "\xE2\x80\xA8", "\xE2\x80\xA9",
                                              "\xC3\xA9", "\xEF\xBF\xBD", "\xF0\x9F\x98\x80", "\xED\xB2\x80"};
    switch (random() % 3) {
        case 0: return kCharacters[random() % std::size(kCharacters)];
        case 1: return std::string("plain-text-of-some-length").substr(0, 1 + random() % 20);
        default: {
            const char byte = static_cast<char>(1 + random() % 255);
            return byte == '/' ? "\\" : std::string(1, byte);
        }
    }
}

TEST(QuotedName, EveryByteAloneAndAmongOthersIsOneLineThatGivesTheNameBack) {
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == '/') continue;
        const std::string alone(1, static_cast<char>(byte));
        SCOPED_TRACE(byte);
        expectOneLineGivingBack(alone);
        expectOneLineGivingBack("a" + alone + "\xC3\xA9" + alone + alone + "z");
        for (size_t before = 0; before < 18; ++before) expectOneLineGivingBack(std::string(before, 'p') + alone + "-after-it");
    }
    std::mt19937 random(18);
    for (int round = 0; round < 2000; ++round) {
        std::string name;
        for (size_t pieces = 1 + random() % 24; pieces > 0; --pieces) name += randomPiece(random);
        SCOPED_TRACE(testing::PrintToString(name));
        expectOneLineGivingBack(name);
    }
    // The name that would otherwise print a second record of its own.
    expectOneLineGivingBack("evil\"\n    FILE_ACTION_REMOVED             \"\\etc\\passwd");
}

}  // namespace
