// Where directories not met yet are, learned by listing the parent of one
// that was met: a burst spread over many directories meets its siblings
// next, and a listing costs one call for each of them where a look costs
// four.
//
// A place learned is a look made early, and is trusted only as a look is:
// once a read made after it has found the queue's end, so that every move
// made before the listing has been read, and only while no directory has
// moved or gone since (any such event, or an overflow, forgets them all).
// Listing goes on only while what it learns is used.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/linux/engine/kernel_ports.h"

class LearnedPlaces {
public:
    /// A new read of the queue: what was forgotten in the last one is no
    /// longer a reason not to list.
    void newRead() { blocked_ = false; }
    /// Lists the directory with this handle, unless it was listed since the
    /// last forgetting, or listing has not been paying. `met` is the
    /// directory whose place was looked up, known by now.
    void learnIn(FanotifyPort& port, HandleBytes parent, HandleBytes met);
    /// Whether a place is learned for this directory, not trusted yet.
    bool awaits(HandleBytes dir) const;
    /// A place learned and trusted, given once.
    bool take(HandleBytes dir, std::string& parent, std::string& name);
    /// A directory's place was looked up one by one.
    void looked();
    unsigned looks() const { return looks_; }
    /// A read found the queue's end: what was learned before it is trusted.
    void queueEnded();
    /// A directory moved or went, or events were lost: every place may be
    /// stale, and so may a listing made before the events still to be told.
    void forget();

private:
    struct Place {
        std::string parent;
        std::string name;
        bool trusted = false;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view bytes) const { return std::hash<std::string_view>{}(bytes); }
    };
    void clear();

    std::unordered_map<std::string, Place, Hash, std::equal_to<>> places_;
    std::unordered_set<std::string, Hash, std::equal_to<>> listed_;
    bool untrusted_ = false;
    bool blocked_ = false;
    long credit_ = 1024;  // kMostCredit: the first listings are on trust
    unsigned looks_ = 0;
};
