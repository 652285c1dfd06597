// How the Linux build prints text between the double quotes of a line: a name
// may hold any byte but '/' and NUL, and none of them may end the quotes, end
// the line, or reach a terminal as a control.
#pragma once

#include <cstddef>

#include "platform/platform.h"

/// Takes the pieces of the quoted form, in order.
using QuotedPiece = void (*)(const WCHAR* text, size_t size);

/// Hands put the quoted form of text[0, size): the text itself, with C-style
/// escapes as git writes unusual path names in quotes:
///   '"' and '\' as \" and \\;
///   U+0000..U+001F and U+007F as \a \b \t \n \v \f \r where C has a letter,
///   otherwise as \ooo, three octal digits;
///   the C1 controls U+0080..U+009F, and U+2028 and U+2029 (line breaks to some
///   readers), as their UTF-8 bytes, each \ooo;
///   a lone surrogate U+DC80..U+DCFF, a byte that was not UTF-8 (utf16.h), as
///   that byte, \ooo.
/// Every other unit, valid pairs included, is handed over as it is, in runs
/// as long as possible, for the sink to encode. So the quoted form holds no
/// line break and no control, encodes as valid UTF-8, and reading its escapes
/// back as bytes gives exactly appendBytes(text, size). Allocates nothing.
void quoteText(const WCHAR* text, size_t size, QuotedPiece put);
