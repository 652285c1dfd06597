// Bytes -> UTF-16 -> bytes must give back exactly the bytes, for every byte
// string; and UTF-16 produced from bytes must never hold a pair the reverse
// direction would turn into something else.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/utf16.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const WString text = utf16FromBytes(bytes);
    if (bytesFromUtf16(text.data(), text.size()) != bytes) std::abort();
    // Any UTF-16 at all (here: the input read as code units) converts to bytes
    // that convert back to the same bytes: the byte form is a fixed point.
    WString units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<WCHAR>(data[2 * i] | data[2 * i + 1] << 8);
    const std::string once = bytesFromUtf16(units.data(), units.size());
    const WString again = utf16FromBytes(once);
    if (bytesFromUtf16(again.data(), again.size()) != once) std::abort();
    return 0;
}
