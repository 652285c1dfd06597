#include "platform/linux/engine/learned_places.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// What listing may spend ahead of what it has saved, counted in entries
// learned: one call each. A place used saves a look, four calls.
constexpr long kMostCredit = 1024;
constexpr long kCreditPerUse = 4;
// Places kept at most; beyond, all of them are let go and learned anew.
constexpr size_t kMostPlaces = 4096;
// Sub-directories learned from one listing at most.
constexpr size_t kMostListed = 256;

}  // namespace

void LearnedPlaces::learnIn(FanotifyPort& port, HandleBytes parent, HandleBytes met) {
    if (blocked_ || credit_ <= 0 || parent.empty() || listed_.find(parent) != listed_.end()) return;
    const size_t most = std::min(kMostListed, static_cast<size_t>(credit_));
    if (places_.size() + most > kMostPlaces || listed_.size() >= kMostPlaces) clear();
    std::vector<std::pair<std::string, std::string>> found;
    listed_.emplace(parent);
    if (!port.directoriesIn(parent, most, found)) return;
    credit_ -= static_cast<long>(found.size());
    for (auto& [name, handle] : found) {
        if (handle == met) continue;
        places_.insert_or_assign(std::move(handle), Place{std::string(parent), std::move(name)});
        untrusted_ = true;
    }
}

bool LearnedPlaces::awaits(HandleBytes dir) const {
    if (!untrusted_) return false;
    const auto found = places_.find(dir);
    return found != places_.end() && !found->second.trusted;
}

bool LearnedPlaces::take(HandleBytes dir, std::string& parent, std::string& name) {
    const auto found = places_.find(dir);
    if (found == places_.end()) return false;
    // Not trusted yet: a look is made instead, and it makes this one useless.
    const bool trusted = found->second.trusted;
    if (trusted) {
        parent = std::move(found->second.parent);
        name = std::move(found->second.name);
        credit_ = std::min(kMostCredit, credit_ + kCreditPerUse);
    }
    places_.erase(found);
    return trusted;
}

void LearnedPlaces::looked() {
    ++looks_;
    credit_ = std::min(kMostCredit, credit_ + 1);
}

void LearnedPlaces::queueEnded() {
    if (!untrusted_) return;
    for (auto& [handle, place] : places_) place.trusted = true;
    untrusted_ = false;
}

void LearnedPlaces::forget() {
    clear();
    // The events read but not yet told may be of moves the next listing
    // would already see.
    blocked_ = true;
}

void LearnedPlaces::clear() {
    if (!places_.empty()) places_.clear();
    if (!listed_.empty()) listed_.clear();
    untrusted_ = false;
}
