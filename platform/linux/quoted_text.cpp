#include "platform/linux/quoted_text.h"

#include <cstdint>
#include <cstring>

namespace {

// Lone low surrogates in this range stand for one byte that was not valid UTF-8.
constexpr uint32_t kByteEscape = 0xDC00;

bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// Eight units at once, in the vector extension both g++ and clang++ know: every
// record of a burst is scanned here, and the compilers make a unit-by-unit
// test of this kind into a chain of branches rather than a few vector steps.
typedef uint16_t Block __attribute__((vector_size(16)));
constexpr size_t kBlock = sizeof(Block) / sizeof(WCHAR);

/// Whether text[0, 8) is all printable ASCII other than '"' and '\\', the
/// units nearly every name consists of.
bool isPlainAsciiBlock(const WCHAR* text) {
    Block units;
    std::memcpy(&units, text, sizeof units);
    const auto special = (units - 0x20 > 0x5E) | (units == '"') | (units == '\\');
    uint64_t halves[2];
    std::memcpy(halves, &special, sizeof halves);
    return (halves[0] | halves[1]) == 0;
}

/// Where the units from text[at] on that blocks show to be plain ASCII end.
/// The last few units are seen through the block that ends with the text,
/// overlapping units already seen, so that a plain name needs no unit alone.
size_t skipPlainAscii(const WCHAR* text, size_t at, size_t size) {
    while (at + kBlock <= size && isPlainAsciiBlock(text + at)) at += kBlock;
    const bool fewLeft = at < size && at + kBlock > size;
    return fewLeft && size >= kBlock && isPlainAsciiBlock(text + size - kBlock) ? size : at;
}

/// Whether the unit at text[at] prints as it is.
bool isPlain(const WCHAR* text, size_t at) {
    const uint32_t unit = text[at];
    if (unit >= 0x20 && unit < 0x7F) return unit != '"' && unit != '\\';
    if (unit < 0xA0 || unit == 0x2028 || unit == 0x2029) return false;
    if (unit < kByteEscape + 0x80 || unit > kByteEscape + 0xFF) return true;
    // The low half of a pair is a character; only a lone one stands for a byte.
    return at > 0 && isHighSurrogate(text[at - 1]);
}

WCHAR* putOctal(WCHAR* out, uint32_t byte) {
    *out++ = u'\\';
    *out++ = static_cast<WCHAR>(u'0' + (byte >> 6));
    *out++ = static_cast<WCHAR>(u'0' + ((byte >> 3) & 7));
    *out++ = static_cast<WCHAR>(u'0' + (byte & 7));
    return out;
}

/// Writes the escape of a unit that is not plain; returns where it ends.
/// Characters are escaped as the bytes they are on disk, so that a reader
/// that turns the escapes into bytes gets the name back whatever it holds.
WCHAR* putEscape(WCHAR* out, uint32_t unit) {
    static constexpr char16_t kLetters[] = u"abtnvfr";  // for U+0007..U+000D
    if (unit == '"' || unit == '\\' || (unit >= 0x07 && unit <= 0x0D)) {
        *out++ = u'\\';
        *out++ = unit >= 0x07 && unit <= 0x0D ? kLetters[unit - 0x07] : static_cast<WCHAR>(unit);
        return out;
    }
    if (unit < 0x80) return putOctal(out, unit);
    if (unit >= kByteEscape) return putOctal(out, unit - kByteEscape);
    if (unit < 0x800) {
        out = putOctal(out, 0xC0 | (unit >> 6));
    } else {
        out = putOctal(out, 0xE0 | (unit >> 12));
        out = putOctal(out, 0x80 | ((unit >> 6) & 0x3F));
    }
    return putOctal(out, 0x80 | (unit & 0x3F));
}

}  // namespace

void quoteText(const WCHAR* text, size_t size, QuotedPiece put) {
    size_t run = 0;
    for (size_t i = skipPlainAscii(text, 0, size); i < size; i = skipPlainAscii(text, i + 1, size)) {
        if (isPlain(text, i)) continue;
        if (i > run) put(text + run, i - run);
        WCHAR escape[12];
        put(escape, static_cast<size_t>(putEscape(escape, text[i]) - escape));
        run = i + 1;
    }
    if (size > run) put(text + run, size - run);
}
