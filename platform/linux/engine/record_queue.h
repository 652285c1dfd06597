// The backlog between the thread that drains inotify and the thread that
// completes change requests: records already laid out as Windows lays out
// FILE_NOTIFY_INFORMATION, waiting for a caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/platform.h"

/// Most bytes of records the backlog holds before it gives up and reports an
/// overflow. Large enough for a 200,000-change burst read at 10,000 lines/s.
constexpr size_t kBacklogLimitBytes = 64u << 20;

/// Records in the order they were appended, bounded in memory. The producer
/// gathers records in a RecordBatch and publishes it whole; the consumer takes
/// as many whole records as fit a caller's buffer. Thread-safe.
class RecordQueue {
public:
    /// What take() found.
    enum class Taken { Nothing, Records, Overflow, RecordTooLarge };

    explicit RecordQueue(size_t limitBytes = kBacklogLimitBytes) : limitBytes_(limitBytes) {}

    /// Appends the records of a batch (already packed) and empties it. If the
    /// backlog would pass its limit, or memory for it runs out, everything
    /// waiting is dropped and the next take() reports an overflow. Returns true
    /// if the queue was empty before.
    bool publish(std::vector<uint8_t>& packed);

    /// Drops everything waiting and makes the next take() report an overflow.
    void markOverflow();

    /// Copies whole records into buffer[0, size) as Windows lays them out:
    /// each starts on a 4-byte boundary, and the count (bytes) ends where the
    /// last one's name ends, with no padding after it. NextEntryOffset is fixed
    /// so the chain ends at the last record copied. Returns
    /// Overflow once after records were dropped, RecordTooLarge (and drops that
    /// record) when the first waiting record cannot fit any buffer of this size.
    Taken take(void* buffer, size_t size, DWORD& bytes);

    bool empty() const;

private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t readAt = 0;
    };
    void append(std::vector<uint8_t>& packed);
    void dropAllLocked();
    size_t partnerSize(const uint8_t* record, size_t recordSize) const;

    mutable std::mutex mutex_;
    std::deque<Chunk> chunks_;
    size_t heldBytes_ = 0;
    size_t limitBytes_;
    bool overflow_ = false;
};

/// Gathers records on the producer's side, without locking, laid out as
/// FILE_NOTIFY_INFORMATION: the one place that knows that layout.
class RecordBatch {
public:
    /// Appends one record: an action and a path relative to the watched root
    /// as the disk names it, kept as UTF-16 and padded to a 4-byte boundary
    /// (take() leaves the last record of a delivery unpadded).
    void append(DWORD action, std::string_view path);
    std::vector<uint8_t>& packed() { return packed_; }
    size_t size() const { return packed_.size(); }
    bool empty() const { return packed_.empty(); }

private:
    std::vector<uint8_t> packed_;
    WString name_;
};

/// Removes from records packed as RecordBatch packs them those for which
/// drop(action, name) is true, keeping the others in their order.
void eraseRecords(std::vector<uint8_t>& packed,
                  const std::function<bool(DWORD action, std::basic_string_view<WCHAR> name)>& drop);
