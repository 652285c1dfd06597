#include "platform/linux/utf16.h"

#include "platform/common/utf8.h"

#include <cstdint>

namespace {

// Lone low surrogates in this range stand for one byte that was not valid UTF-8.
constexpr uint32_t kByteEscape = 0xDC00;

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

/// Length of the valid UTF-8 sequence at bytes[0, size), or 0 when the first
/// byte does not start one. The second byte's range carries all the strictness:
/// it is what rules out overlong forms, encoded surrogates and values past U+10FFFF.
size_t validSequenceLength(const unsigned char* bytes, size_t size) {
    unsigned char lead = bytes[0];
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (size < length || bytes[1] < low || bytes[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!isContinuation(bytes[i])) return 0;
    }
    return length;
}

/// Decodes one already validated sequence of 2 to 4 bytes.
uint32_t decodeSequence(const unsigned char* bytes, size_t length) {
    static constexpr unsigned char kLeadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    uint32_t value = bytes[0] & kLeadMask[length];
    for (size_t i = 1; i < length; ++i) value = (value << 6) | (bytes[i] & 0x3F);
    return value;
}

WCHAR* putUnits(WCHAR* out, uint32_t value) {
    if (value < 0x10000) {
        *out++ = static_cast<WCHAR>(value);
    } else {
        value -= 0x10000;
        *out++ = static_cast<WCHAR>(0xD800 + (value >> 10));
        *out++ = static_cast<WCHAR>(0xDC00 + (value & 0x3FF));
    }
    return out;
}

}  // namespace

void appendUtf16(WString& out, const char* bytes, size_t size) {
    // Every byte yields at most one code unit (four bytes give a pair), so one
    // resize up front lets the loop write through a plain pointer.
    size_t start = out.size();
    out.resize(start + size);
    WCHAR* next = out.data() + start;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size;) {
        unsigned char byte = in[i];
        if (byte < 0x80) {
            *next++ = byte;
            ++i;
            continue;
        }
        size_t length = validSequenceLength(in + i, size - i);
        if (length == 0) {
            // Only the offending byte is escaped: the next one gets its own
            // chance to start a sequence, which keeps the mapping reversible.
            *next++ = static_cast<WCHAR>(kByteEscape + byte);
            ++i;
            continue;
        }
        next = putUnits(next, decodeSequence(in + i, length));
        i += length;
    }
    out.resize(static_cast<size_t>(next - out.data()));
}

void appendBytes(std::string& out, const WCHAR* text, size_t size) {
    appendUtf8(out, text, size, Utf8Form::LinuxBytes);
}

WString utf16FromBytes(std::string_view bytes) {
    WString result;
    appendUtf16(result, bytes.data(), bytes.size());
    return result;
}

std::string bytesFromUtf16(const WCHAR* text, size_t size) {
    std::string result;
    appendBytes(result, text, size);
    return result;
}
