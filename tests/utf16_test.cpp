#include "platform/linux/utf16.h"
#include "platform/common/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using testing::PrintToString;  // shows every code unit of a WString

TEST(Utf16FromBytes, DecodesValidUtf8AndEscapesEveryOtherByte) {
    const std::pair<std::string, WString> cases[] = {
        {"", {}},
        {std::string("a\0b", 3), WString{'a', 0, 'b'}},
        {"\xC2\x80\xDF\xBF", WString{0x80, 0x7FF}},
        {"\xE0\xA0\x80\xEF\xBF\xBF", WString{0x800, 0xFFFF}},
        {"\xF0\x90\x80\x80", WString{0xD800, 0xDC00}},
        {"\xF4\x8F\xBF\xBF", WString{0xDBFF, 0xDFFF}},
        {"\xF0\x9F\x98\x80", WString{0xD83D, 0xDE00}},
        // Overlong forms of '/', NUL and the largest 2- and 3-byte values.
        {"\xC0\xAF", WString{0xDCC0, 0xDCAF}},
        {"\xC1\xBF", WString{0xDCC1, 0xDCBF}},
        {"\xE0\x80\xAF", WString{0xDCE0, 0xDC80, 0xDCAF}},
        {"\xE0\x9F\xBF", WString{0xDCE0, 0xDC9F, 0xDCBF}},
        {"\xF0\x8F\xBF\xBF", WString{0xDCF0, 0xDC8F, 0xDCBF, 0xDCBF}},
        // Encoded surrogates, as CESU-8 would write them.
        {"\xED\xA0\x80", WString{0xDCED, 0xDCA0, 0xDC80}},
        {"\xED\xBF\xBF", WString{0xDCED, 0xDCBF, 0xDCBF}},
        {"\xED\x9F\xBF", WString{0xD7FF}},
        // Past U+10FFFF, and lead bytes that never start anything.
        {"\xF4\x90\x80\x80", WString{0xDCF4, 0xDC90, 0xDC80, 0xDC80}},
        {"\xF5\x80\x80\x80", WString{0xDCF5, 0xDC80, 0xDC80, 0xDC80}},
        {"\xFE\xFF", WString{0xDCFE, 0xDCFF}},
        // Truncated sequences, at the end and before an ASCII byte.
        {"\xE2\x82", WString{0xDCE2, 0xDC82}},
        {"\xE2\x82" "A", WString{0xDCE2, 0xDC82, 'A'}},
        {"\xF0\x9F\x98", WString{0xDCF0, 0xDC9F, 0xDC98}},
        {"\xF0\x9F\x98\xC3\xA9", WString{0xDCF0, 0xDC9F, 0xDC98, 0xE9}},
        // Stray continuation bytes.
        {"\x80", WString{0xDC80}},
        {"a\xBF\xBF" "b", WString{'a', 0xDCBF, 0xDCBF, 'b'}},
        // Latin-1 file names are the common real case.
        {"caf\xE9.txt", WString{'c', 'a', 'f', 0xDCE9, '.', 't', 'x', 't'}},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(utf16FromBytes(bytes), expected) << "bytes of length " << bytes.size();
    }
}

// One encoder serves both systems: Linux restores escaped bytes, a Windows
// text stream has no escapes and writes line breaks as CRLF.
TEST(Utf8, EachFormWritesPairsJoinedAndWhatIsNoCharacterItsOwnWay) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct Case {
        WString text;
        std::string onLinux;
        std::string onWindows;
    };
    const Case cases[] = {
        {WString{0xE9, 0x20AC}, "\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"},
        {WString{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {WString{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {WString{0xDC80, 0xDCFF}, "\x80\xFF", replacement + replacement},
        {WString{0xD83D, 0xDC80}, "\xF0\x9F\x92\x80", "\xF0\x9F\x92\x80"},  // a pair, not a byte
        {WString{0xD800}, replacement, replacement},
        {WString{0xD800, 'a'}, replacement + "a", replacement + "a"},
        {WString{0xDE00, 0xD83D}, replacement + replacement, replacement + replacement},
        {WString{0xDC7F}, replacement, replacement},  // ASCII bytes are never escaped
        {WString{0xDC00}, replacement, replacement},
        {WString{0xDD00}, replacement, replacement},
        {WString{0xD800, 0xD800, 0xDC00}, replacement + "\xF0\x90\x80\x80", replacement + "\xF0\x90\x80\x80"},
        {u"a\nb\n", "a\nb\n", "a\r\nb\r\n"},
        // Line breaks inside and around the eight-unit runs of plain ASCII.
        {u"0123456\n89abcdef\n", "0123456\n89abcdef\n", "0123456\r\n89abcdef\r\n"},
        {u"\n\n\n\n\n\n\n\n\u00e9", "\n\n\n\n\n\n\n\n\xC3\xA9", "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PrintToString(c.text));
        EXPECT_EQ(bytesFromUtf16(c.text.data(), c.text.size()), c.onLinux);
        std::string windows = "kept:";
        appendUtf8(windows, c.text.data(), c.text.size(), Utf8Form::WindowsText);
        EXPECT_EQ(windows, "kept:" + c.onWindows);
    }
}

TEST(Utf16, EveryScalarValueSurvivesBothDirections) {
    WString text, back;
    std::string bytes;
    for (uint32_t value = 1; value <= 0x10FFFF; ++value) {
        if (value >= 0xD800 && value <= 0xDFFF) continue;
        text.clear();
        if (value < 0x10000) {
            text += static_cast<WCHAR>(value);
        } else {
            text += static_cast<WCHAR>(0xD800 + ((value - 0x10000) >> 10));
            text += static_cast<WCHAR>(0xDC00 + ((value - 0x10000) & 0x3FF));
        }
        bytes.clear();
        appendBytes(bytes, text.data(), text.size());
        size_t expectedSize = value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
        ASSERT_EQ(bytes.size(), expectedSize) << std::hex << value;
        back.clear();
        appendUtf16(back, bytes.data(), bytes.size());
        ASSERT_EQ(back, text) << std::hex << value;
    }
}

TEST(Utf16, ArbitraryBytesComeBackExactly) {
    // Bytes near the UTF-8 boundaries are drawn often, so that random strings
    // hit almost-valid sequences and not just noise.
    static const unsigned char kEdges[] = {0x00, 0x2F, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                           0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> length(0, 24), byte(0, 255), edge(0, sizeof kEdges - 1), coin(0, 1);
    for (int round = 0; round < 50000; ++round) {
        std::string bytes;
        for (int i = length(random); i > 0; --i)
            bytes += static_cast<char>(coin(random) ? kEdges[edge(random)] : byte(random));
        WString text = utf16FromBytes(bytes);
        ASSERT_EQ(bytesFromUtf16(text.data(), text.size()), bytes) << PrintToString(text);
        // Whatever the input, the text has no lone surrogates besides escaped bytes.
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] >= 0xD800 && text[i] <= 0xDBFF) {
                ASSERT_TRUE(i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
                    << PrintToString(text);
                ++i;
            } else if (text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
                ASSERT_TRUE(text[i] >= 0xDC80 && text[i] <= 0xDCFF) << PrintToString(text);
            }
        }
    }
}

TEST(Utf16, AppendFormsKeepWhatIsAlreadyThere) {
    WString text{'x'};
    appendUtf16(text, "\xC3\xA9\xFF", 3);
    EXPECT_EQ(text, (WString{'x', 0xE9, 0xDCFF}));
    std::string bytes = "y";
    appendBytes(bytes, text.data(), text.size());
    EXPECT_EQ(bytes, "yx\xC3\xA9\xFF");
}

TEST(WideText, CaseInsensitiveCompareFoldsOnlyAsciiLetters) {
    struct Case {
        const WCHAR* left;
        const WCHAR* right;
        int sign;
    };
    const Case cases[] = {
        {u"NoRecurse", u"norecurse", 0},
        {u"noRECURSE", u"NoRecurse", 0},
        {u"HELP", u"help", 0},
        {u"", u"", 0},
        {u"help", u"helpx", -1},
        {u"h", u"", 1},
        {u"\u00C9", u"\u00E9", -1},  // É and é stay different
        {u"\u0130", u"i", 1},        // so does the Turkish dotted capital I
        {u"_", u"A", -1},            // 'A' is compared as 'a', which sorts after '_'
        {u"[", u"a", -1},
    };
    for (const Case& c : cases) {
        int result = _wcsicmp(c.left, c.right);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << PrintToString(c.left) << " vs " << PrintToString(c.right);
    }
}

}  // namespace
