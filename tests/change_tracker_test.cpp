// The change tracker on a disk in memory: each row is a starting tree, the
// steps of one story (changes on the disk, the tracker reading the events
// they queued, the queue running empty, time passing), and the exact records
// that must come out. Changes made before a read reach the tracker late and
// all at once, as after a pause of the program; "watching P: change" makes a
// change right after the tracker watches P, "listing P: change" right after
// it reads P, the races a fast machine only shows now and then.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "platform/linux/utf16.h"
#include "tests/fake_disk.h"

namespace {

struct Row {
    const char* what;
    const char* tree;
    const char* steps;
    const char* expected;  // records joined by "; "; nullptr: only the general checks
    bool recursive = true;
    FakeDisk::Kernel kernel = FakeDisk::Kernel::Inotify;
};

constexpr FakeDisk::Kernel kFanotify = FakeDisk::Kernel::Fanotify;

const Row kRows[] = {
    {"each kind of change", "a/ a/old b/",
     "touch a/f; write a/f; chmod a/f; mv a/f a/g; mv a/g b/g; rm b/g; mkdir c; rmdir c; read",
     "ADDED a/f; MODIFIED a/f; MODIFIED a/f; OLD a/f; NEW a/g; REMOVED a/g; ADDED b/g; REMOVED b/g; ADDED c; "
     "REMOVED c"},
    {"rename over a file, and a directory over an empty one", "a/f a/g a/d/x a/e/",
     "mv a/f a/g; mv a/d a/e; read; touch a/e/h; read",
     "OLD a/f; NEW a/g; OLD a/d; NEW a/e; ADDED a/e/h"},
    {"a new chain is listed once watched, each entry once", "",
     "mkdir a; watching a/b: touch a/b/f; mkdir a/b; read; touch a/b/g; read",
     "ADDED a; ADDED a/b; ADDED a/b/f; ADDED a/b/g"},
    {"listed inside a listing's window, then moved out", "a/d/f",
     "mkdir n; read 1; mv a/d n/e; mv n/e ~/e; read; later 5", "ADDED n; REMOVED a/d; ADDED n/e; REMOVED n/e"},
    {"a move met by a listing made once the queue was read", "a/d/f b/ c/x/",
     "mv a/d b/e; mv b b2; watching b2/e: mv c/x b2/e/x; read; read",
     "REMOVED a/d; ADDED b/e; OLD b; NEW b2; ADDED b2/e/f; REMOVED c/x; ADDED b2/e/x"},
    {"in a listing's window, renamed over a directory an event told of", "a/d/",
     "mkdir n; read 1; mv a/d n/d; mkdir n/y; mv n/y n/d; read; touch n/d/g; read",
     "ADDED n; REMOVED a/d; ADDED n/d; ADDED n/y; OLD n/y; NEW n/d; ADDED n/d/g"},
    {"in a listing's window, renamed over a directory the listing showed before", "b/s/f",
     "mkdir n; mkdir n/t; listing n: mv b/s n/s; listing n/t: mv n/s n/t; read; touch n/t/g; read",
     "ADDED n; ADDED n/t; REMOVED b/s; ADDED n/s; OLD n/s; NEW n/t; ADDED n/t/g"},
    {"a directory renamed while its parent is listed", "",
     "mkdir n; mkdir n/x; touch n/x/f; listing n: mv n/x n/y; read; touch n/y/g; read",
     "ADDED n; ADDED n/y; ADDED n/y/f; ADDED n/y/g"},
    {"an entry gone before the listing is not reported gone", "", "mkdir a; touch a/f; watching a: rm a/f; read",
     "ADDED a"},
    {"renamed before its creation was handled", "", "mkdir n; mkdir n/x; touch n/x/f; mv n m; read; touch m/x/g; read",
     "ADDED n; OLD n; NEW m; ADDED m/x; ADDED m/x/f; ADDED m/x/g"},
    {"removed before its creation was handled", "", "mkdir n; mkdir n/x; rm -r n; mkdir n2; read; touch n2/g; read",
     "ADDED n; REMOVED n; ADDED n2; ADDED n2/g"},
    {"parent renamed before a new directory's creation was handled", "b/",
     "mkdir b/d; mv b c; read; touch c/d/g; read", "ADDED b/d; OLD b; NEW c; ADDED c/d/g"},
    {"moved into a new directory not watched yet", "a/d/f b/",
     "mkdir b/n; mv a/d b/n/d; read; later 5; touch b/n/d/g; read",
     "ADDED b/n; REMOVED a/d; ADDED b/n/d; ADDED b/n/d/g"},
    {"moved out of a new directory not watched yet", "b/",
     "mkdir n; mkdir n/d; mkdir n/d/x; touch n/d/f; mv n/d b/d; read; touch b/d/g; read",
     "ADDED n; ADDED b/d; ADDED b/d/f; ADDED b/d/x; ADDED b/d/g"},
    {"moved in from outside and filled at once", "~/e/", "mv ~/e e; touch e/f; read; touch e/g; read",
     "ADDED e; ADDED e/f; ADDED e/g"},
    {"moved out, then an event from its old watch", "d/", "mv d ~/d; touch ~/d/x; read; touch y; read",
     "REMOVED d; ADDED y"},
    // Older changes below a directory keep its old path, even though a walk
    // has already found it in its new place.
    {"moved after older changes below it", "q/x/y/ q/x/gone/ p/w/",
     "mkdir n; touch q/x/y/f; mv q/x/y/f q/x/y/g; mv q/x/gone ~/gone; mv q/x p/w/x; mv p/w n/w; read; later 5; "
     "touch n/w/x/y/h; read",
     "ADDED n; ADDED q/x/y/f; OLD q/x/y/f; NEW q/x/y/g; REMOVED q/x/gone; REMOVED q/x; ADDED p/w/x; REMOVED p/w; "
     "ADDED n/w; ADDED n/w/x/y/h"},
    // Where it was between leaving and being found is not known: changes in
    // it meanwhile are told by telling it replaced.
    {"changed after moving out of sight, before it was found", "a/d/f",
     "mkdir n; mv a/d n/d; touch n/d/g; rm n/d/f; read; later 5; read",
     "ADDED n; REMOVED a/d; ADDED n/d; REMOVED n/d; ADDED n/d; ADDED n/d/g"},
    {"moved twice out of sight, seen in both places", "a/d/g",
     "mkdir n; mkdir m; mv a/d n/d; watching m: mv n/d m/d; read",
     "ADDED n; ADDED m; REMOVED a/d; ADDED n/d; REMOVED n/d; ADDED m/d"},
    {"moved out inside another, then back into a directory not watched yet", "a/b/c/f",
     "mkdir n; mv a ~/a; mv ~/a/b/c n/c; read", "ADDED n; REMOVED a; ADDED n/c; ADDED n/c/f"},
    {"moved on through a directory not watched yet", "q/x/y/ q/x/g b/",
     "mkdir n; mv q/x n/x; mv n/x b/x; rm b/x/g; read; touch b/x/y/h; read",
     "ADDED n; REMOVED q/x; ADDED b/x; REMOVED b/x/g; ADDED b/x/y/h"},
    {"moved on, by its name alone where the path is stale", "q/w/y/ q/w/g p/",
     "mkdir n; mv q/w n/w; mv n/w p/w; rm p/w/g; mv p p2; read; touch p2/w/y/h; read",
     "ADDED n; REMOVED q/w; ADDED p/w; REMOVED p/w/g; OLD p; NEW p2; ADDED p2/w/y/h"},
    {"taken for another of its name: a loss", "q/v/ p/ ~/w/",
     "mv q/v ~/v; mv ~/w p/v; mv p p2; read; touch p2/v/h; read",
     "REMOVED q/v; ADDED p/v; OLD p; NEW p2; OVERFLOW; ADDED p2/v/h"},
    // A directory moved under a new name: no reader can carry what it held
    // across, so that is listed; and no path that never existed is printed.
    {"moved under a new name into a directory not watched yet", "d2/f",
     "mkdir x; mv d2 x/d3; read; later 5; touch x/d3/g; read",
     "ADDED x; REMOVED d2; ADDED x/d3; ADDED x/d3/f; ADDED x/d3/g"},
    {"moved and renamed out of sight, its old name taken again", "q/x/y/f",
     "mkdir n; mv q/x n/x; mv n/x n/z; mkdir n/x; read; later 5; touch n/z/y/h; read",
     "ADDED n; ADDED n/x; REMOVED q/x; ADDED n/z; ADDED n/z/y; ADDED n/z/y/f; ADDED n/z/y/h"},
    {"moved to another directory under a new name", "a/d1/f a/d1/e/ b/",
     "mv a/d1 b/d3; touch b/d3/g; rm b/d3/f; read; touch b/d3/e/h; read",
     "REMOVED a/d1; ADDED b/d3; ADDED b/d3/g; ADDED b/d3/e; ADDED b/d3/e/h"},
    // Moved into a directory made a moment before, its watch in place before
    // the move and its listing after: one ADDED per entry.
    {"a file moved into a directory just made", "m",
     "mkdir d; watching d: mv m d/m; read", "ADDED d; ADDED d/m; REMOVED m"},
    {"a directory moved into a directory just made", "m/f",
     "mkdir d; watching d: mv m d/m; read; touch d/m/g; read", "ADDED d; REMOVED m; ADDED d/m; ADDED d/m/g"},
    {"a directory from outside moved into a directory just made", "~/m/f",
     "mkdir d; watching d: mv ~/m d/m; read; touch d/m/g; read", "ADDED d; ADDED d/m; ADDED d/m/f; ADDED d/m/g"},
    // What was made in a directory while it could not be read is reported
    // once it can be, as for a new directory.
    {"an unreadable directory made readable is listed", "", "mkdir d; lock d; read; touch d/s; mkdir d/e; "
     "touch d/e/f; unlock d; read; touch d/e/g; read",
     "ADDED d; MODIFIED d; MODIFIED d; ADDED d/s; ADDED d/e; ADDED d/e/f; ADDED d/e/g"},
    {"the kernel's queue overflows", "a/", "touch a/f; overflow; touch a/g; read; touch a/h; read",
     "OVERFLOW; ADDED a/h"},
    {"a watch refused at the limit", "a/", "limit 2; mkdir b; read; touch a/f; read", "OVERFLOW; ADDED a/f"},
    {"the root deleted", "a/f", "touch g; rm -r .; read; touch h", "ADDED g; REMOVED a/f; REMOVED a; REMOVED g; GONE"},
    {"a move's lone first half waits for its second", "a/f", "mv a/f ~/f; read; later 4; mark; later 1",
     "|; REMOVED a/f"},
    {"not recursive: only the root's own entries", "a/", "touch f; touch a/g; mkdir d; touch d/h; read",
     "ADDED f; ADDED d", false},
    // Through fanotify every change below the root comes, so nothing new is
    // listed; what comes in from outside, or under a new name, still is.
    {"fanotify: each kind of change", "a/ a/old b/",
     "touch a/f; write a/f; chmod a/f; mv a/f a/g; mv a/g b/g; rm b/g; mkdir c; rmdir c; read",
     "ADDED a/f; MODIFIED a/f; MODIFIED a/f; OLD a/f; NEW a/g; REMOVED a/g; ADDED b/g; REMOVED b/g; ADDED c; "
     "REMOVED c", true, kFanotify},
    {"fanotify: a new chain is known from its events", "", "mkdir a; mkdir a/b; touch a/b/f; read; touch a/b/g; read",
     "ADDED a; ADDED a/b; ADDED a/b/f; ADDED a/b/g", true, kFanotify},
    {"fanotify: directories met late, where they were then", "p/q/r/",
     "touch p/q/r/f; mv p/q p/q2; touch p/q2/r/g; read", "ADDED p/q/r/f; OLD p/q; NEW p/q2; ADDED p/q2/r/g", true,
     kFanotify},
    {"fanotify: moved in from outside", "~/e/f", "mv ~/e e; touch e/g; read", "ADDED e; ADDED e/f; ADDED e/g", true,
     kFanotify},
    {"fanotify: a listing met a directory where a name is made again later", "~/e/",
     "mv ~/e e; mkdir e/x; mkdir e/x/y; touch e/x/y/f; mv e/x/y/f e/x/y/h; mv e/x e/q; mkdir e/x; mkdir e/x/y; read; "
     "touch e/q/y/g; touch e/x/y/k; read",
     "ADDED e; ADDED e/q; ADDED e/q/y; ADDED e/q/y/h; ADDED e/x; ADDED e/x/y; ADDED e/x/y/f; OLD e/x/y/f; "
     "NEW e/x/y/h; OLD e/x; NEW e/q; ADDED e/x; ADDED e/x/y; ADDED e/q/y/g; ADDED e/x/y/k",
     true, kFanotify},
    {"fanotify: moved under a new name", "a/d1/f b/", "mv a/d1 b/d3; read; touch b/d3/g; read",
     "REMOVED a/d1; ADDED b/d3; ADDED b/d3/f; ADDED b/d3/g", true, kFanotify},
    {"fanotify: moved out, nothing below it after", "a/", "mv a ~/a; touch ~/a/x; read; touch y; read",
     "REMOVED a; ADDED y", true, kFanotify},
    {"fanotify: the root deleted", "a/f", "touch g; rm -r .; read",
     "ADDED g; REMOVED a/f; REMOVED a; REMOVED g; GONE", true, kFanotify},
    // Enough renames to be handed over in several pieces, none between the
    // two halves of one (checked for every row).
    {"renames in a long run", "a/", "touch a/012345678901234567890123; renames 700; read", nullptr},
};

/// Gathers what the tracker hands over, and checks that no piece ends between
/// the halves of a rename.
struct Collector : RecordSink {
    void publish(std::vector<uint8_t>& packed) override {
        static const char* const labels[] = {"", "ADDED ", "REMOVED ", "MODIFIED ", "OLD ", "NEW "};
        DWORD last = 0;
        for (size_t at = 0; at < packed.size();) {
            DWORD header[3];
            std::memcpy(header, packed.data() + at, sizeof header);
            const WCHAR* name = reinterpret_cast<const WCHAR*>(packed.data() + at + 12);
            lines.push_back(labels[header[1]] + bytesFromUtf16(name, header[2] / 2));
            last = header[1];
            at += header[0];
        }
        packed.clear();
        if (last == FILE_ACTION_RENAMED_OLD_NAME) split = true;
    }
    std::vector<std::string> lines;
    bool split = false;
};

/// Runs one row's steps on a tracker over the disk.
class Story {
public:
    explicit Story(const Row& row)
        : disk_(row.tree, row.kernel),
          tracker_(disk_, sink_, ChangeTracker::Options{row.recursive, 0x5F, row.kernel != kFanotify,
                                                        row.kernel != kFanotify}) {}

    std::string run(const char* steps) {
        if (tracker_.start() != 0) return "start failed";
        std::istringstream list(steps);
        std::string step;
        while (std::getline(list, step, ';')) perform(step);
        tracker_.publish();
        std::string joined;
        for (const std::string& line : sink_.lines) joined += (joined.empty() ? "" : "; ") + line;
        return joined;
    }
    bool splitARename() const { return sink_.split; }

private:
    // Spaces around a step, or its words, do not matter.
    void perform(const std::string& step) {
        std::istringstream words(step);
        std::string verb, a, b;
        words >> verb >> a >> b;
        if (verb == "watching" || verb == "listing") {
            const std::string moment = verb + " " + a.substr(0, a.size() - 1);  // without the ':'
            const std::string change = step.substr(step.find(':') + 1);
            disk_.when(moment, [this, change] { perform(change); });
        } else if (verb == "read") {
            read(a.empty() ? SIZE_MAX : std::stoul(a));
        } else if (verb == "later") {
            nowMs_ += std::stol(a);
            note(tracker_.onTime(nowMs_));
        } else if (verb == "mark") {
            tracker_.publish();
            sink_.lines.push_back("|");
        } else if (verb == "renames") {
            // Records of 64 bytes each, so that where the pieces end is known.
            const auto name = [](char letter, int i) { return "a/" + std::string(17, letter) + std::to_string(1000000 + i); };
            for (int i = 0; i < std::stoi(a); ++i) disk_.touch(name('r', i));
            for (int i = 0; i < std::stoi(a); ++i) disk_.move(name('r', i), name('s', i));
        } else {
            change(verb, a, b);
        }
    }

    void change(const std::string& verb, const std::string& a, const std::string& b) {
        if (verb == "mkdir") disk_.mkdir(a);
        else if (verb == "touch") disk_.touch(a);
        else if (verb == "write") disk_.write(a);
        else if (verb == "chmod") disk_.chmod(a);
        else if (verb == "lock" || verb == "unlock") disk_.lock(a, verb == "lock");
        else if (verb == "rm" && a == "-r") disk_.removeTree(b);
        else if (verb == "rm" || verb == "rmdir") disk_.remove(a);
        else if (verb == "mv") disk_.move(a, b);
        else if (verb == "overflow") disk_.overflow();
        else if (verb == "limit") disk_.limitWatches(std::stoul(a));
        else ADD_FAILURE() << "unknown step " << verb;
    }

    // Hands the queued events over, as many as asked; the queue is seen
    // empty only when every one of them was taken, new ones included.
    void read(size_t count) {
        disk_.queueRead();
        for (size_t taken = 0; taken < count && !disk_.queue().empty() && !gone_; ++taken) {
            const FakeDisk::Queued queued = disk_.queue().front();
            disk_.queue().pop_front();
            for (const FakeDisk::Link& link : queued.places) tracker_.adopt(link.key, link.parentKey, link.name);
            note(tracker_.onEvent(queued.event, nowMs_));
            if (tracker_.publishDue()) tracker_.publish();
        }
        tracker_.publish();
        if (count == SIZE_MAX && !gone_) note(tracker_.onQueueEmpty(nowMs_));
    }

    void note(ChangeTracker::Outcome outcome) {
        if (outcome == ChangeTracker::Outcome::Ok || gone_) return;
        tracker_.publish();
        if (outcome == ChangeTracker::Outcome::RootGone) {
            tracker_.finish();
            gone_ = true;
        }
        sink_.lines.push_back(outcome == ChangeTracker::Outcome::Lost ? "OVERFLOW" : "GONE");
    }

    FakeDisk disk_;
    Collector sink_;
    ChangeTracker tracker_;
    long long nowMs_ = 1000;
    bool gone_ = false;
};

TEST(ChangeTracker, EachStoryGivesExactlyItsRecords) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        Story story(row);
        const std::string got = story.run(row.steps);
        if (row.expected != nullptr) {
            EXPECT_EQ(got, row.expected);
        }
        EXPECT_FALSE(story.splitARename());
    }
}

}  // namespace

// A window closed inside one that stays open: the reader knows all that the
// directory holds, and the directory itself.
TEST(ReaderView, AWindowClosedInsideAnOpenOneLeavesItsDirectoryKnown) {
    ReaderView view;
    view.openWindow("a");
    view.learn("a/b");
    view.openWindow("a/b");
    view.learn("a/b/c");
    view.keepOnly([](const std::string& root) { return root == "a"; });
    EXPECT_TRUE(view.knows("a/b"));
    EXPECT_TRUE(view.knows("a/b/c"));
    EXPECT_TRUE(view.knows("a/b/d/e"));
    EXPECT_FALSE(view.knows("a/x"));
}

// Moved into a window from where the reader knew everything, and out again:
// the reader still knows all below it.
TEST(ReaderView, ADirectoryKnownWholeStaysKnownWhenItLeavesTheWindow) {
    ReaderView view;
    view.openWindow("a");
    view.move("x/b", "a/b");
    view.move("a/b", "c");
    EXPECT_TRUE(view.knows("c/f"));
    EXPECT_FALSE(view.inWindow("c/f"));
}
