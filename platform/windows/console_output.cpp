// consolePrint's sink on Windows. A console gets the UTF-16 text itself
// through WriteConsoleW, so no character is lost to a code page; a file or
// pipe gets UTF-8 with CRLF line ends, as a text stream would.
#include "platform/common/console_sink.h"
#include "platform/common/utf8.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace console_detail {
namespace {

enum class Target { Undecided, Console, Stream, Nowhere };

Target target = Target::Undecided;
HANDLE output = nullptr;
WString consoleText;    // Target::Console
std::string streamBytes;  // Target::Stream

// Older consoles fail WriteConsoleW for very large requests, so long output
// goes out in pieces of this many code units.
constexpr size_t kConsoleChunk = 8192;

Target decideTarget() {
    if (target != Target::Undecided) return target;
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == nullptr || output == INVALID_HANDLE_VALUE) target = Target::Nowhere;
    else if (GetConsoleMode(output, &mode)) target = Target::Console;
    else target = Target::Stream;
    return target;
}

/// The console's own line handling depends on its mode; an explicit CR
/// returns the cursor whatever the mode.
void appendConsole(const WCHAR* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == W('\n')) consoleText += W('\r');
        consoleText += text[i];
    }
}

/// Units a console would act on rather than show: C0, DEL and C1, and the lone
/// surrogates U+DC80..U+DC9F, which this build has always shown as '?' too.
bool isControl(const WCHAR* text, size_t at) {
    uint32_t unit = static_cast<uint32_t>(text[at]);
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) return true;
    if (unit < 0xDC80 || unit > 0xDC9F) return false;
    uint32_t before = at > 0 ? static_cast<uint32_t>(text[at - 1]) : 0;
    return before < 0xD800 || before > 0xDBFF;  // the low half of a pair is fine
}

void writeConsole() {
    const WCHAR* data = consoleText.data();
    size_t left = consoleText.size();
    while (left > 0) {
        size_t chunk = left < kConsoleChunk ? left : kConsoleChunk;
        // Never split a surrogate pair between two calls.
        if (chunk < left && data[chunk - 1] >= 0xD800 && data[chunk - 1] <= 0xDBFF) --chunk;
        DWORD written = 0;
        if (!WriteConsoleW(output, data, static_cast<DWORD>(chunk), &written, nullptr) || written == 0) return;
        data += written;
        left -= written;
    }
}

void writeStream() {
    const char* data = streamBytes.data();
    size_t left = streamBytes.size();
    while (left > 0) {
        DWORD written = 0;
        DWORD request = left < 0x40000000u ? static_cast<DWORD>(left) : 0x40000000u;
        // A closed pipe fails (ERROR_NO_DATA) instead of ending the process.
        if (!WriteFile(output, data, request, &written, nullptr) || written == 0) return;
        data += written;
        left -= written;
    }
}

}  // namespace

void sinkAppend(const WCHAR* text, size_t size) {
    switch (decideTarget()) {
    case Target::Console: appendConsole(text, size); break;
    case Target::Stream: appendUtf8(streamBytes, text, size, Utf8Form::WindowsText); break;
    default: break;  // no standard output: nothing to keep
    }
}

void sinkAppendSubstituted(const WCHAR* text, size_t size, bool) {
    if (decideTarget() != Target::Console) {
        sinkAppend(text, size);
        return;
    }
    // A crafted argument must not move the cursor or retitle the window.
    size_t run = 0;
    for (size_t i = 0; i < size; ++i) {
        if (!isControl(text, i)) continue;
        appendConsole(text + run, i - run);
        appendConsole(W("?"), 1);
        run = i + 1;
    }
    appendConsole(text + run, size - run);
}

size_t sinkPendingBytes() { return consoleText.size() * sizeof(WCHAR) + streamBytes.size(); }

void sinkFlush() {
    // Callers print a failure and may still look at the error code afterwards.
    DWORD savedError = GetLastError();
    if (!consoleText.empty()) writeConsole();
    if (!streamBytes.empty()) writeStream();
    consoleText.clear();
    streamBytes.clear();
    SetLastError(savedError);
}

}  // namespace console_detail
