// UTF-16 to UTF-8, the one encoder behind standard output on both systems.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

/// What becomes of the code units that are not characters, and of line breaks.
enum class Utf8Form {
    /// Linux names: a lone surrogate U+DC80..U+DCFF stands for a byte that was
    /// not UTF-8 (see platform/linux/utf16.h) and becomes that byte again;
    /// any other unpaired surrogate is U+FFFD; "\n" stays as it is.
    LinuxBytes,
    /// A Windows text stream: Windows names escape nothing, so every unpaired
    /// surrogate is U+FFFD; "\n" becomes "\r\n", as a text-mode stream writes it.
    WindowsText,
};

/// Appends the UTF-8 form of text[0, size) to out. Valid surrogate pairs
/// become one 4-byte sequence. Allocates only if out must grow.
void appendUtf8(std::string& out, const WCHAR* text, size_t size, Utf8Form form);
