#include "platform/linux/engine/unwatched_names.h"

namespace {

// Whether a name so noted waits for the queue's end.
bool waits(UnwatchedNames::Why why) {
    return why == UnwatchedNames::Why::Stale || why == UnwatchedNames::Why::Vanished;
}

}  // namespace

void UnwatchedNames::note(int parentKey, std::string_view name, Why why) {
    const auto [at, made] = names_.try_emplace(Name{parentKey, std::string(name)}, why);
    if (!made) {
        waiting_ -= waits(at->second);
        at->second = why;
    }
    waiting_ += waits(why);
}

bool UnwatchedNames::forget(int parentKey, std::string_view name, Why why) {
    if (names_.empty()) return false;
    const auto at = names_.find(Name{parentKey, std::string(name)});
    if (at == names_.end() || at->second != why) return false;
    erase(at);
    return true;
}

void UnwatchedNames::forgetAny(int parentKey, std::string_view name) {
    if (names_.empty()) return;
    if (const auto at = names_.find(Name{parentKey, std::string(name)}); at != names_.end()) erase(at);
}

void UnwatchedNames::forgetIn(int parentKey) {
    auto at = names_.lower_bound(Name{parentKey, ""});
    while (at != names_.end() && at->first.parentKey == parentKey) erase(at++);
}

std::vector<std::string> UnwatchedNames::takeIn(int parentKey, Why why) {
    std::vector<std::string> taken;
    auto at = names_.lower_bound(Name{parentKey, ""});
    while (at != names_.end() && at->first.parentKey == parentKey) {
        if (at->second != why) {
            ++at;
            continue;
        }
        taken.push_back(at->first.name);
        erase(at++);
    }
    return taken;
}

std::vector<std::pair<UnwatchedNames::Name, UnwatchedNames::Why>> UnwatchedNames::takeDue() {
    std::vector<std::pair<Name, Why>> due;
    if (waiting_ == 0) return due;
    for (auto at = names_.begin(); at != names_.end();) {
        if (!waits(at->second)) {
            ++at;
            continue;
        }
        due.emplace_back(at->first, at->second);
        erase(at++);
    }
    return due;
}

std::vector<UnwatchedNames::Name> UnwatchedNames::takeAll(Why why) {
    std::vector<Name> taken;
    for (auto at = names_.begin(); at != names_.end();) {
        if (at->second == why) {
            taken.push_back(at->first);
            erase(at++);
        } else {
            ++at;
        }
    }
    return taken;
}

void UnwatchedNames::clear() {
    names_.clear();
    waiting_ = 0;
}

void UnwatchedNames::erase(std::map<Name, Why>::iterator at) {
    waiting_ -= waits(at->second);
    names_.erase(at);
}
