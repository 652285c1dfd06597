// The C runtime's wide text functions that the program uses, for Linux.
#include "platform/platform.h"

namespace {

// The program selects no locale, and in the "C" locale the runtime folds only
// the ASCII letters: 'É' and 'é' stay different, as they do on Windows.
uint32_t foldAsciiLetter(WCHAR unit) {
    uint32_t value = static_cast<uint32_t>(unit);
    return value >= u'A' && value <= u'Z' ? value + (u'a' - u'A') : value;
}

}  // namespace

int _wcsicmp(const WCHAR* left, const WCHAR* right) {
    for (;; ++left, ++right) {
        uint32_t a = foldAsciiLetter(*left);
        uint32_t b = foldAsciiLetter(*right);
        // Code units compare as unsigned 16-bit values, so the difference fits an int.
        if (a != b || a == 0) return static_cast<int>(a) - static_cast<int>(b);
    }
}
