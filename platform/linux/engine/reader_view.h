// What the reader of the report has been told, by path, below directories
// listed since the kernel's queue last ran empty. A listing reports what a
// directory holds when it is made, while events queued before it are still
// to be read: they may repeat what the listing reported, or name entries
// gone by then, which the reader never heard of. Below a listed directory
// the report says only what adds to what the reader knows. Elsewhere the
// reader is taken to know what the tree has.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

class ReaderView {
public:
    /// Whether no listing is waiting for the queue to run empty.
    bool empty() const { return roots_.empty(); }
    void clear();

    /// A listing of the directory at `path` begins: the reader knows nothing
    /// below it but what the listing reports, and what is reported after it.
    void openWindow(const std::string& path);

    /// Whether path lies below a listed directory, and not below one moved
    /// into it from where the reader knew everything.
    bool inWindow(std::string_view path) const;
    /// Whether the reader knows of path: anywhere outside a window, and
    /// inside one when it was reported.
    bool knows(std::string_view path) const;
    /// Whether a listing reported path (rather than an event alone).
    bool listed(std::string_view path) const;

    /// The reader was told of path; a reader takes its directories to exist.
    void learn(const std::string& path, bool listed = false);
    /// The reader was told path is gone, with everything below it.
    void forget(const std::string& path);
    /// The reader was told of a move: what it knew at `from`, and any window
    /// there, is now at `to`, replacing what was there. Moved out of a
    /// window, it keeps a window of its own; moved into one from outside,
    /// the reader knows all that is below it.
    void move(const std::string& from, const std::string& to);

    /// Keeps only the windows whose top directory `keep` accepts.
    void keepOnly(const std::function<bool(const std::string&)>& keep);

private:
    static constexpr uint8_t kListed = 1;  // a listing told it
    static constexpr uint8_t kWhole = 2;   // moved in from outside the windows: all below it is known
    std::set<std::string, std::less<>> roots_;
    // Every path the reader was told of inside a window, ordered so that what
    // lies below a path is a range.
    std::map<std::string, uint8_t, std::less<>> known_;
};
