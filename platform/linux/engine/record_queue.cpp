#include "platform/linux/engine/record_queue.h"

#include <cstring>
#include <new>

#include "platform/linux/utf16.h"

namespace {

constexpr size_t kHeaderBytes = 12;
// Small batches are gathered into chunks of about this size.
constexpr size_t kChunkBytes = 64 * 1024;

size_t paddedSize(size_t nameBytes) { return (kHeaderBytes + nameBytes + 3) & ~size_t{3}; }

DWORD readDword(const uint8_t* at) {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

void RecordBatch::append(DWORD action, std::string_view path) {
    name_.clear();
    appendUtf16(name_, path.data(), path.size());
    const WCHAR* name = name_.data();
    const size_t nameBytes = name_.size() * sizeof(WCHAR);
    const size_t size = paddedSize(nameBytes);
    const size_t at = packed_.size();
    packed_.resize(at + size);  // zero padding, so no stale bytes reach the caller
    uint8_t* record = packed_.data() + at;
    const DWORD header[3] = {static_cast<DWORD>(size), action, static_cast<DWORD>(nameBytes)};
    std::memcpy(record, header, sizeof header);
    std::memcpy(record + kHeaderBytes, name, nameBytes);
}

void eraseRecords(std::vector<uint8_t>& packed,
                  const std::function<bool(DWORD action, std::basic_string_view<WCHAR> name)>& drop) {
    size_t kept = 0;
    for (size_t at = 0; at < packed.size();) {
        const size_t size = readDword(packed.data() + at);
        // Records start on 4-byte boundaries, so the name is aligned for WCHAR.
        const std::basic_string_view<WCHAR> name(reinterpret_cast<const WCHAR*>(packed.data() + at + kHeaderBytes),
                                                 readDword(packed.data() + at + 8) / sizeof(WCHAR));
        if (!drop(readDword(packed.data() + at + 4), name)) {
            if (kept != at) std::memmove(packed.data() + kept, packed.data() + at, size);
            kept += size;
        }
        at += size;
    }
    packed.resize(kept);
}

bool RecordQueue::publish(std::vector<uint8_t>& packed) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wasEmpty = heldBytes_ == 0 && !overflow_;
    if (heldBytes_ + packed.size() <= limitBytes_) {
        try {
            append(packed);
            return wasEmpty;
        } catch (const std::bad_alloc&) {
            // Out of memory (an address-space limit, say) is no reason to
            // end the watch: it is the same loss as passing the limit.
        }
    }
    // The reader has fallen too far behind: what is waiting is stale and
    // incomplete either way, so say so once instead of holding it.
    dropAllLocked();
    overflow_ = true;
    packed.clear();
    return wasEmpty;
}

void RecordQueue::append(std::vector<uint8_t>& packed) {
    const size_t size = packed.size();
    if (!chunks_.empty() && chunks_.back().bytes.size() + size <= kChunkBytes) {
        // When changes come one at a time, so do batches: a chunk for each
        // would cost an allocation each, and many times the memory of its
        // records. The batch keeps its buffer for the next.
        std::vector<uint8_t>& last = chunks_.back().bytes;
        last.insert(last.end(), packed.begin(), packed.end());
        packed.clear();
    } else {
        chunks_.emplace_back();
        chunks_.back().bytes.swap(packed);
    }
    heldBytes_ += size;
}

void RecordQueue::markOverflow() {
    std::lock_guard<std::mutex> lock(mutex_);
    dropAllLocked();
    overflow_ = true;
}

void RecordQueue::dropAllLocked() {
    chunks_.clear();
    heldBytes_ = 0;
}

size_t RecordQueue::partnerSize(const uint8_t* record, size_t recordSize) const {
    if (readDword(record + 4) != FILE_ACTION_RENAMED_OLD_NAME) return 0;
    const Chunk& chunk = chunks_.front();
    const uint8_t* next = nullptr;
    if (record + recordSize < chunk.bytes.data() + chunk.bytes.size()) {
        next = record + recordSize;
    } else if (chunks_.size() > 1) {
        next = chunks_[1].bytes.data() + chunks_[1].readAt;
    }
    // The partner's own size as the last record: its name, unpadded.
    return next != nullptr && readDword(next + 4) == FILE_ACTION_RENAMED_NEW_NAME ? kHeaderBytes + readDword(next + 8)
                                                                                  : 0;
}

bool RecordQueue::empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heldBytes_ == 0 && !overflow_;
}

RecordQueue::Taken RecordQueue::take(void* buffer, size_t size, DWORD& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes = 0;
    if (overflow_) {
        overflow_ = false;
        return Taken::Overflow;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint8_t* last = nullptr;
    size_t next = 0;  // where the next record would start: the end of the last one, padded
    while (!chunks_.empty()) {
        Chunk& chunk = chunks_.front();
        const uint8_t* record = chunk.bytes.data() + chunk.readAt;
        const size_t recordSize = readDword(record);
        // As Windows does, the count ends where the last name ends: a record
        // needs room for its padding only when another follows it.
        const size_t exactSize = kHeaderBytes + readDword(record + 8);
        // The halves of a rename go in one delivery, unless together they
        // could not fit any.
        const size_t partner = partnerSize(record, recordSize);
        const size_t needed = partner != 0 ? recordSize + partner : exactSize;
        if (next + needed > size && last != nullptr) break;
        if (next + exactSize > size) {
            // A record larger than the whole buffer can never be delivered.
            chunk.readAt += recordSize;
            heldBytes_ -= recordSize;
            if (chunk.readAt == chunk.bytes.size()) chunks_.pop_front();
            return Taken::RecordTooLarge;
        }
        last = out + next;
        std::memcpy(last, record, exactSize);
        bytes = static_cast<DWORD>(next + exactSize);
        next += recordSize;
        chunk.readAt += recordSize;
        heldBytes_ -= recordSize;
        if (chunk.readAt == chunk.bytes.size()) chunks_.pop_front();
    }
    if (last == nullptr) return Taken::Nothing;
    const DWORD end = 0;
    std::memcpy(last, &end, sizeof end);
    return Taken::Records;
}
