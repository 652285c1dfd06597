// consolePrint's formatter, shared by both systems. It walks the format once
// and hands literal runs and converted pieces straight to the sink, so a call
// costs no allocation and no temporary strings: a change report calls it for
// every field of every record.
#include "platform/common/console_sink.h"
#include "platform/platform.h"

#include <cstdint>

namespace console_detail {
namespace {

// A batch writes out once it has gathered this much, so a long report reaches
// a pipe in steady pieces and the buffer stays at a fixed working size.
constexpr size_t kBatchFlushBytes = 64 * 1024;
// Field widths come from the program's literal formats; the cap only keeps a
// mistyped one from asking for gigabytes of spaces.
constexpr size_t kMaxWidth = 4096;

int batchDepth = 0;

void appendSpaces(size_t count) {
    static const WCHAR kSpaces[] = W("                                ");
    constexpr size_t kChunk = sizeof kSpaces / sizeof kSpaces[0] - 1;
    for (; count > kChunk; count -= kChunk) sinkAppend(kSpaces, kChunk);
    sinkAppend(kSpaces, count);
}

/// The text an argument prints, at most limit units when limit is not negative.
/// Bare pointers are measured here, never past the limit, as printf's %.*s
/// allows for text that is not terminated.
size_t measureText(const FormatArg& arg, int32_t limit) {
    size_t cap = limit < 0 ? kUnknownLength : static_cast<size_t>(limit);
    if (arg.textLength != kUnknownLength) return arg.textLength < cap ? arg.textLength : cap;
    size_t length = 0;
    while (length < cap && arg.text[length] != 0) ++length;
    return length;
}

/// Writes value's digits backwards ending at end; returns where they start.
/// The integer is the 32-bit value the conversion names, as on Windows.
WCHAR* formatInteger(WCHAR* end, int64_t value, bool hex) {
    uint32_t bits = static_cast<uint32_t>(value);
    bool negative = !hex && static_cast<int32_t>(bits) < 0;
    uint32_t magnitude = negative ? 0u - bits : bits;
    uint32_t base = hex ? 16 : 10;
    do {
        *--end = W("0123456789abcdef")[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    if (negative) *--end = W('-');
    return end;
}

struct Conversion {
    bool leftAlign = false;
    size_t width = 0;
    bool countArgument = false;  // %.*s
    WCHAR type = 0;              // 's', 'd' or 'x'; 0 when not understood
    bool quoted = false;         // the format has it between double quotes
};

/// Reads the conversion after a '%'; returns where the format goes on.
const WCHAR* parseConversion(const WCHAR* p, Conversion& conversion) {
    if (*p == W('-')) {
        conversion.leftAlign = true;
        ++p;
    }
    for (; *p >= W('0') && *p <= W('9'); ++p) {
        size_t width = conversion.width * 10 + static_cast<size_t>(*p - W('0'));
        conversion.width = width < kMaxWidth ? width : kMaxWidth;
    }
    if (p[0] == W('.') && p[1] == W('*')) {
        conversion.countArgument = true;
        p += 2;
    }
    if (p[0] == W('l') && (p[1] == W('d') || p[1] == W('x'))) ++p;
    if (*p != W('s') && *p != W('d') && *p != W('x')) return p;  // left in the text
    conversion.type = *p;
    return p + 1;
}

/// Prints one argument as conversion asks, padded to its width.
void appendConverted(const Conversion& conversion, const FormatArg* args, size_t count, size_t& next) {
    int32_t limit = -1;
    if (conversion.countArgument && next < count) {
        limit = static_cast<int32_t>(static_cast<uint32_t>(args[next++].integer));
    }
    if (next >= count) return;
    const FormatArg& arg = args[next++];
    WCHAR digits[12];
    const WCHAR* piece = nullptr;
    size_t length = 0;
    if (conversion.type == W('s') && arg.kind == FormatArg::Text) {
        FormatArg text = arg.text != nullptr ? arg : FormatArg{FormatArg::Text, 0, W("(null)"), 6};
        piece = text.text;
        length = measureText(text, limit);
    } else if (conversion.type != W('s') && arg.kind == FormatArg::Integer) {
        WCHAR* end = digits + sizeof digits / sizeof digits[0];
        piece = formatInteger(end, arg.integer, conversion.type == W('x'));
        length = static_cast<size_t>(end - piece);
    } else {
        return;  // a mismatch the compile-time check lets through only for direct callers
    }
    size_t padding = conversion.width > length ? conversion.width - length : 0;
    if (!conversion.leftAlign) appendSpaces(padding);
    if (conversion.type == W('s')) sinkAppendSubstituted(piece, length, conversion.quoted);
    else sinkAppend(piece, length);
    if (conversion.leftAlign) appendSpaces(padding);
}

}  // namespace

void consoleWrite(const WCHAR* format, const FormatArg* args, size_t count) {
    const WCHAR* run = format;
    size_t next = 0;
    const WCHAR* p = format;
    bool quoted = false;
    while (*p != 0) {
        if (*p != W('%')) {
            // The program quotes every path and name it prints, and only those;
            // the quotes tell the sink which substitutions need its care.
            quoted ^= *p == W('"');
            ++p;
            continue;
        }
        sinkAppend(run, static_cast<size_t>(p - run));
        if (p[1] == W('%')) {
            run = p + 1;  // the second '%' opens the next literal run
            p += 2;
            continue;
        }
        Conversion conversion;
        conversion.quoted = quoted;
        p = parseConversion(p + 1, conversion);
        if (conversion.type != 0) appendConverted(conversion, args, count, next);
        run = p;
    }
    sinkAppend(run, static_cast<size_t>(p - run));
    if (batchDepth == 0 || sinkPendingBytes() >= kBatchFlushBytes) sinkFlush();
}

}  // namespace console_detail

ConsoleBatch::ConsoleBatch() { ++console_detail::batchDepth; }

ConsoleBatch::~ConsoleBatch() {
    if (--console_detail::batchDepth == 0) console_detail::sinkFlush();
}
