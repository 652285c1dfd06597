// consolePrint: the program's one output operation. printf-style formatting of
// wide text to standard output, limited to the conversions the program uses:
//   %s      wide text (const WCHAR*, WString or a string view of WCHAR)
//   %.*s    a count of code units (int), then wide text; a negative count
//           prints all of it
//   %d %ld  signed decimal          %-13d  the same, left-aligned in 13 columns
//   %lx     hexadecimal, lower case %%     a percent sign
// Integers are read as the 32-bit values Windows passes (a DWORD of 0xFFFFFFFF
// prints as -1 with %ld); a number wider than its field is not cut.
// A format that does not match its arguments does not compile.
//
// Text substituted between the format's double quotes (every path and name the
// program prints) is escaped on Linux, C-style, so that no name can end its
// quotes or its line: the same on a terminal, in a file and in a pipe
// (platform/linux/quoted_text.h). A Windows console shows control characters
// in substituted text as '?'. The format's own text is never altered.
//
// Included through platform.h, after WCHAR and WString are known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace console_detail {

/// Length of text handed over as a bare pointer: the formatter finds its end
/// itself, reading no further than a %.*s count allows, as printf does. Such
/// text need not be terminated when a count covers it, and a null pointer prints
/// as "(null)".
inline constexpr size_t kUnknownLength = static_cast<size_t>(-1);

/// One argument, with its type erased to the two kinds the formatter knows.
struct FormatArg {
    enum Kind : uint8_t { Integer, Text } kind;
    int64_t integer;
    const WCHAR* text;
    size_t textLength;  // kUnknownLength for bare pointers
};

inline FormatArg makeArg(const WCHAR* text) { return {FormatArg::Text, 0, text, kUnknownLength}; }
inline FormatArg makeArg(WCHAR* text) { return makeArg(static_cast<const WCHAR*>(text)); }
inline FormatArg makeArg(const WString& text) { return {FormatArg::Text, 0, text.data(), text.size()}; }
/// Text that is not terminated, such as a name inside a change record: never read past its size.
inline FormatArg makeArg(std::basic_string_view<WCHAR> text) { return {FormatArg::Text, 0, text.data(), text.size()}; }
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
inline FormatArg makeArg(T value) {
    return {FormatArg::Integer, static_cast<int64_t>(value), nullptr, 0};
}

template <typename T>
constexpr bool isText = std::is_same_v<std::decay_t<T>, const WCHAR*> || std::is_same_v<std::decay_t<T>, WCHAR*> ||
                        std::is_same_v<std::decay_t<T>, WString> ||
                        std::is_same_v<std::decay_t<T>, std::basic_string_view<WCHAR>>;
template <typename T>
constexpr bool isInteger = std::is_integral_v<std::decay_t<T>> && !std::is_same_v<std::decay_t<T>, bool>;

void formatError(const char*);  // never defined: calling it at compile time is the error message

/// Checks at compile time that a format's conversions match the argument kinds.
template <typename... Args>
consteval void checkFormat(const WCHAR* format) {
    constexpr bool textKinds[] = {isText<Args>..., false};
    constexpr bool integerKinds[] = {isInteger<Args>..., false};
    size_t next = 0;
    for (const WCHAR* p = format; *p != 0; ++p) {
        if (*p != u'%') continue;
        ++p;
        if (*p == u'%') continue;
        if (*p == u'-') {
            while (*++p >= u'0' && *p <= u'9') {
            }
        }
        if (p[0] == u'.' && p[1] == u'*' && p[2] == u's') {
            if (next + 2 > sizeof...(Args) || !integerKinds[next] || !textKinds[next + 1])
                formatError("%.*s takes a count and wide text");
            next += 2;
            p += 2;
        } else if (p[0] == u's') {
            if (next >= sizeof...(Args) || !textKinds[next]) formatError("%s takes wide text");
            ++next;
        } else if (p[0] == u'd' || (p[0] == u'l' && (p[1] == u'd' || p[1] == u'x'))) {
            if (next >= sizeof...(Args) || !integerKinds[next]) formatError("%d, %ld and %lx take an integer");
            ++next;
            if (p[0] == u'l') ++p;
        } else {
            formatError("unsupported conversion");
        }
    }
    if (next != sizeof...(Args)) formatError("more arguments than conversions");
}

template <typename... Args>
struct FormatString {
    const WCHAR* text;
    template <size_t N>
    consteval FormatString(const WCHAR (&literal)[N]) : text(literal) {
        checkFormat<Args...>(literal);
    }
};

/// Formats and hands the result to the platform's output sink.
void consoleWrite(const WCHAR* format, const FormatArg* args, size_t count);

}  // namespace console_detail

/// Formats wide text to standard output. The output is flushed when the call
/// returns, unless a ConsoleBatch is open.
template <typename... Args>
void consolePrint(console_detail::FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    const console_detail::FormatArg list[] = {console_detail::makeArg(args)..., {}};
    console_detail::consoleWrite(format.text, list, sizeof...(Args));
}

/// While one exists, consolePrint output is gathered and written when the last
/// batch ends (or when the gathered output grows large), so that a report of
/// many lines costs few system calls yet reaches a pipe as soon as it is complete.
class ConsoleBatch {
public:
    ConsoleBatch();
    ~ConsoleBatch();
    ConsoleBatch(const ConsoleBatch&) = delete;
    ConsoleBatch& operator=(const ConsoleBatch&) = delete;
};
