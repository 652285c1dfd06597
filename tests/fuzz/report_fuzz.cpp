// Feeds arbitrary bytes and byte counts to the change report: whatever a
// request delivers, the walk must stay inside the delivered bytes.
#include <cstdint>
#include <cstring>
#include <memory>

#include "tests/fuzz/silence.h"
#include "watch/change_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool silenced = silenceStandardOutput();
    if (size < 2) return 0;
    // The first two bytes choose how many of the rest count as delivered, so
    // counts shorter and longer than the records are both explored.
    const size_t claimed = (static_cast<size_t>(data[0]) << 8 | data[1]);
    const size_t available = size - 2;
    const size_t delivered = claimed < available ? claimed : available;
    // An exact-size heap copy, so that reading one byte too far is caught.
    std::unique_ptr<BYTE[]> buffer(new BYTE[delivered + 1]);
    std::memcpy(buffer.get(), data + 2, delivered);
    static const WString path = W("/watched/");
    printChangeReport(static_cast<DWORD>(delivered), buffer.get(), path);
    return 0;
}
