// Lossless conversion between the bytes Linux uses for names and arguments and
// the UTF-16 text the rest of the program works with.
//
// Linux names are byte strings that are usually, but not always, UTF-8. Valid
// UTF-8 decodes to the characters it encodes; every byte that is not part of a
// valid sequence becomes the lone low surrogate U+DC00+byte (U+DC80..U+DCFF,
// since such bytes are never ASCII). Converting back turns those surrogates into
// their original bytes, so bytes -> UTF-16 -> bytes is exact for every byte string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

/// Appends the UTF-16 form of bytes[0, size) to out. Strictly valid UTF-8 is
/// decoded (overlong forms, encoded surrogates U+D800..U+DFFF, values above
/// U+10FFFF and truncated sequences are not valid); each other byte b becomes
/// U+DC00+b. Allocates only if out must grow. Embedded zero bytes are kept.
void appendUtf16(WString& out, const char* bytes, size_t size);

/// Appends the byte form of text[0, size) to out: the exact inverse of
/// appendUtf16. Lone surrogates U+DC80..U+DCFF become the byte 0x80..0xFF,
/// valid surrogate pairs become 4-byte UTF-8, and any other unpaired surrogate
/// becomes U+FFFD (EF BF BD). Allocates only if out must grow.
void appendBytes(std::string& out, const WCHAR* text, size_t size);

/// The UTF-16 form of bytes, as appendUtf16 produces it.
WString utf16FromBytes(std::string_view bytes);

/// The byte form of text[0, size), as appendBytes produces it.
std::string bytesFromUtf16(const WCHAR* text, size_t size);
