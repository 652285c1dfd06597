// How fast a finished change request becomes text in a file: printChangeReport
// and consolePrint with standard output redirected to a temporary file, so the
// numbers include the UTF-8 conversion and the write(2) calls but no terminal.
//
// Items are record lines. A burst is delivered as full 32 KiB buffers, so
// ReportFullBuffer is the number that counts (3 million lines per second is the
// aim); ReportOneRecord shows the fixed cost of a report (header, one write).
// Every benchmark also counts heap allocations inside the timed loop, which
// should stay at zero once the output buffer has grown.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "tests/console_capture.h"
#include "watch/change_report.h"

namespace {

std::atomic<long> allocations{0};

constexpr size_t kChangeBufferBytes = 32768;
constexpr off_t kTruncateAtBytes = 64 << 20;

/// Starts the captured output file again once it is large, outside the timed part.
void trimOutput(benchmark::State& state) {
    if (lseek(1, 0, SEEK_CUR) < kTruncateAtBytes) return;
    state.PauseTiming();
    if (ftruncate(1, 0) != 0 || lseek(1, 0, SEEK_SET) != 0) state.SkipWithError("cannot reset the output file");
    state.ResumeTiming();
}

/// Names shaped like a source tree's, of varied length, as UTF-16.
WString sampleName(size_t i) {
    std::string text = "src/module_" + std::to_string(i % 97) + "/part_" + std::to_string(i % 13) + "/file_" +
                       std::to_string(i) + (i % 3 == 0 ? ".cpp" : i % 3 == 1 ? ".h" : ".generated.json");
    return WString(text.begin(), text.end());
}

/// Packs records the way the platform hands them over: DWORD-aligned, each
/// NextEntryOffset pointing at the next, the last one 0. Returns the bytes used.
DWORD packRecords(std::vector<BYTE>& buffer, size_t limit, size_t* recordCount) {
    buffer.assign(kChangeBufferBytes, 0);
    size_t at = 0, previous = 0, count = 0;
    for (size_t i = 0; count < limit; ++i) {
        const WString name = sampleName(i);
        const size_t nameBytes = name.size() * sizeof(WCHAR);
        const size_t size = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + nameBytes + 3) & ~size_t{3};
        if (at + size > buffer.size()) break;
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer.data() + at);
        record->NextEntryOffset = 0;
        record->Action = i % 7 == 6 ? FILE_ACTION_MODIFIED : FILE_ACTION_ADDED;
        record->FileNameLength = static_cast<DWORD>(nameBytes);
        std::memcpy(record->FileName, name.data(), nameBytes);
        if (count > 0) reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer.data() + previous)->NextEntryOffset =
            static_cast<DWORD>(at - previous);
        previous = at;
        at += size;
        ++count;
    }
    *recordCount = count;
    return static_cast<DWORD>(at);
}

const WString kWatchedPath = u"/var/tmp/projects/pathwarden-checkout/";

void runReports(benchmark::State& state, size_t recordLimit) {
    std::vector<BYTE> buffer;
    size_t records = 0;
    const DWORD bytes = packRecords(buffer, recordLimit, &records);
    ConsoleCapture captured;  // standard output goes to an unlinked file while it lives
    printChangeReport(bytes, buffer.data(), kWatchedPath);  // lets the output buffer grow to size
    const long before = allocations.load();
    for (auto _ : state) {
        printChangeReport(bytes, buffer.data(), kWatchedPath);
        trimOutput(state);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
    state.counters["records_per_report"] = static_cast<double>(records);
    state.counters["allocs_per_report"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void ReportFullBuffer(benchmark::State& state) { runReports(state, SIZE_MAX); }
void ReportOneRecord(benchmark::State& state) { runReports(state, 1); }

/// The formatter alone: a record line as one consolePrint call, gathered by a
/// batch and written in large pieces.
void ConsolePrintLine(benchmark::State& state) {
    const WString name = sampleName(12345);
    ConsoleCapture captured;  // standard output goes to an unlinked file while it lives
    const long before = allocations.load();
    size_t lines = 0;
    for (auto _ : state) {
        ConsoleBatch batch;
        for (int i = 0; i < 256; ++i) {
            consolePrint(u"    %s    \"%s%.*s\"\n", u"FILE_ACTION_ADDED           ", kWatchedPath,
                         static_cast<int>(name.size()), name.data());
        }
        lines += 256;
        trimOutput(state);
    }
    state.SetItemsProcessed(static_cast<int64_t>(lines));
    state.counters["allocs_per_line"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before) / 256, benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(ReportFullBuffer);
BENCHMARK(ReportOneRecord);
BENCHMARK(ConsolePrintLine);
BENCHMARK_MAIN();

// Counting replacements of the global allocation functions: every path of
// operator new ends in one of these two.
void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
