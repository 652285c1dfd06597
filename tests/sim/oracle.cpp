#include "tests/sim/oracle.h"

#include <map>

namespace {

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

/// The reader's tree, by path; a directory holds what lies below its path.
class Replay {
public:
    /// Without recursion only the root's own entries are told.
    Replay(const std::set<std::string>& tree, bool recursive) {
        for (const std::string& path : tree) {
            const std::string entry = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
            if (recursive || entry.find('/') == std::string::npos) paths_.insert(entry);
        }
    }
    bool has(const std::string& path) const { return path.empty() || paths_.count(path) != 0; }
    void add(const std::string& path) {
        for (std::string at = path; !at.empty() && paths_.insert(at).second;) at = parentOf(at);
    }
    void remove(const std::string& path) {
        paths_.erase(path);
        for (auto at = paths_.lower_bound(path + "/"); at != paths_.end() && at->rfind(path + "/", 0) == 0;)
            at = paths_.erase(at);
    }
    void move(const std::string& from, const std::string& to) {
        // With nothing known at the old path, all a rename tells is that the new one exists.
        if (!has(from)) {
            add(to);
            return;
        }
        std::vector<std::string> below;
        for (auto at = paths_.lower_bound(from + "/"); at != paths_.end() && at->rfind(from + "/", 0) == 0; ++at)
            below.push_back(to + at->substr(from.size()));
        remove(from);
        remove(to);
        add(to);
        for (const std::string& path : below) paths_.insert(path);
    }
    const std::set<std::string>& paths() const { return paths_; }

private:
    std::set<std::string> paths_;
};

std::string describeDifference(const Replay& replay, const std::set<std::string>& disk, bool recursive) {
    const Replay onDisk(disk, recursive);
    std::string out;
    for (const std::string& path : onDisk.paths()) {
        if (!replay.has(path)) out += " missing " + path + ";";
    }
    for (const std::string& path : replay.paths()) {
        if (!onDisk.has(path)) out += " extra " + path + ";";
    }
    return out;
}

}  // namespace

std::string firstFault(Story& story) {
    if (story.splitARename()) return "a rename's halves were handed over apart";
    const std::vector<StoryRecord>& records = story.records();
    Replay replay(story.start(), story.recursive());
    size_t restart = 0;
    bool strict = true;
    bool gone = false;
    size_t renamesTold = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const StoryRecord& record = records[i];
        const std::string at = " (record " + std::to_string(i + 1) + ": " + record.kind + " " + record.path + ")";
        // fanotify's reader gives up where the merged events cannot say what
        // happened; inotify's tells a loss only where the kernel had one.
        if (record.kind == "OVERFLOW" && !story.model().lostAny() && story.model().kernel() == KernelModel::Kernel::Inotify)
            return "a loss told where the kernel lost nothing" + at;
        if (restart < story.restarts().size() && story.restarts()[restart].first == i + 1) {
            replay = Replay(story.restarts()[restart++].second, story.recursive());
            strict = false;
            continue;
        }
        if (record.kind == "GONE") gone = true;
        if (record.path.empty()) continue;
        if (!story.model().existed(record.path)) return "a path that never existed" + at;
        const bool held = replay.has(record.path);
        const StoryRecord* next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        if (record.kind == "ADDED") {
            if (strict && held) return "an ADDED of an entry the reader holds" + at;
            if (strict && !replay.has(parentOf(record.path))) return "an ADDED in a directory the reader lacks" + at;
            replay.add(record.path);
        } else if (record.kind == "NEW") {
            return "a NEW without its OLD" + at;
        } else if (!held && strict) {
            return "a " + record.kind + " of an entry the reader was not given" + at;
        } else if (record.kind == "OLD") {
            if (next == nullptr || next->kind != "NEW") return "an OLD without its NEW" + at;
            if (next->piece != record.piece) return "a rename's halves were handed over apart" + at;
            if (parentOf(next->path) != parentOf(record.path)) return "a rename between directories" + at;
            if (!story.model().existed(next->path)) return "a path that never existed (" + next->path + ")";
            replay.move(record.path, next->path);
            ++renamesTold;
            ++i;
        } else if (record.kind == "REMOVED") {
            // Directly followed by the ADDED of its name elsewhere: a move.
            if (next != nullptr && next->kind == "ADDED" && baseOf(next->path) == baseOf(record.path) &&
                parentOf(next->path) != parentOf(record.path) && story.model().existed(next->path) &&
                !replay.has(next->path) && replay.has(parentOf(next->path))) {
                replay.move(record.path, next->path);
                ++i;
            } else {
                replay.remove(record.path);
            }
        }
    }
    if (!gone && story.model().rootGone()) return "the root went and the reader was not told";
    // Renames of directories may be told as a removal and an addition when
    // in doubt; a file's never is, with nothing lost.
    const KernelModel::Renames heard = story.model().heardRenames();
    const size_t renames = heard.inRoot + (story.recursive() ? heard.below : 0);
    if (strict && !gone && renamesTold < renames)
        return "a rename told as a removal and an addition (" + std::to_string(renamesTold) + " renames told of " +
               std::to_string(renames) + " files renamed in place)";
    const std::set<std::string> disk = gone ? std::set<std::string>() : story.model().tree();
    const std::string difference = describeDifference(replay, disk, story.recursive());
    if (!difference.empty()) return "the replay ends elsewhere than the disk:" + difference;
    return "";
}
