#include "platform/common/utf8.h"

#include <cstdint>

namespace {

constexpr uint32_t kByteEscape = 0xDC00;
constexpr size_t kBlock = 8;

bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool isAsciiBlock(const WCHAR* units) {
    uint32_t bits = 0;
    for (size_t k = 0; k < kBlock; ++k) bits |= units[k];
    return bits < 0x80;
}

char* putUtf8(char* out, uint32_t value) {
    if (value < 0x80) {
        *out++ = static_cast<char>(value);
        return out;
    }
    if (value < 0x800) {
        *out++ = static_cast<char>(0xC0 | (value >> 6));
    } else if (value < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (value >> 12));
        *out++ = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (value >> 18));
        *out++ = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    }
    *out++ = static_cast<char>(0x80 | (value & 0x3F));
    return out;
}

/// The encoder for one form, chosen at compile time so that the Linux hot
/// path carries no test for line breaks.
template <Utf8Form kForm>
char* encode(char* next, const WCHAR* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if constexpr (kForm == Utf8Form::LinuxBytes) {
            // Paths are mostly ASCII; taking eight units at a time lets the
            // compiler vectorise the common case of the output's hot path.
            while (i + kBlock <= size && isAsciiBlock(text + i)) {
                for (size_t k = 0; k < kBlock; ++k) next[k] = static_cast<char>(text[i + k]);
                next += kBlock;
                i += kBlock;
            }
            if (i == size) break;
        }
        const uint32_t unit = text[i];
        if (kForm == Utf8Form::WindowsText && unit == '\n') *next++ = '\r';
        if (unit < 0xD800 || unit > 0xDFFF) {
            next = putUtf8(next, unit);
        } else if (isHighSurrogate(unit) && i + 1 < size && isLowSurrogate(text[i + 1])) {
            const uint32_t low = text[++i];
            next = putUtf8(next, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (kForm == Utf8Form::LinuxBytes && unit >= kByteEscape + 0x80 && unit <= kByteEscape + 0xFF) {
            *next++ = static_cast<char>(unit - kByteEscape);
        } else {
            // No byte string decodes to this unit, so there is nothing to restore.
            next = putUtf8(next, 0xFFFD);
        }
    }
    return next;
}

}  // namespace

void appendUtf8(std::string& out, const WCHAR* text, size_t size, Utf8Form form) {
    if (size == 0) return;  // the formatter hands over many empty runs
    // A code unit never needs more than three bytes (a pair needs four for
    // two, a line break two with its CR), so one resize up front lets the
    // loop write through a plain pointer.
    const size_t start = out.size();
    out.resize(start + 3 * size);
    char* first = out.data() + start;
    char* end = form == Utf8Form::LinuxBytes ? encode<Utf8Form::LinuxBytes>(first, text, size)
                                             : encode<Utf8Form::WindowsText>(first, text, size);
    out.resize(static_cast<size_t>(end - out.data()));
}
