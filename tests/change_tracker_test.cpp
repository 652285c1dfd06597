// The change tracker's stories, on the model of the kernel: each row is a
// starting tree, the steps of one story (see tests/sim/story.h) and the exact
// records each kernel interface must give, or kSkip where the story does not
// apply to it. Changes made before a read reach the engine late and all at
// once, as after a pause of the program; "watching P: change" makes a change
// right after the engine watches P, "listing P: change" right after it reads
// P, the races a fast machine shows only now and then. Every row is also held
// to the oracle's rules (tests/sim/oracle.h). Rows found by the explorer
// (tests/sim/explorer.cpp) are pasted here as it prints them.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/sim/oracle.h"

namespace {

constexpr const char* kSkip = nullptr;
constexpr const char* kAny = "*";  // only the oracle's rules

struct Row {
    const char* what;
    const char* tree;
    const char* steps;
    const char* inotify;
    const char* fanotify;
    bool recursive = true;
};

const Row kRows[] = {
    {"each kind of change", "a/ a/old b/", "touch a/f; write a/f; chmod a/f; mv a/f a/g; mv a/g b/g; rm b/g; mkdir c; rmdir c; read", "ADDED a/f; MODIFIED a/f; MODIFIED a/f; OLD a/f; NEW a/g; REMOVED a/g; ADDED b/g; REMOVED b/g; ADDED c; REMOVED c", "ADDED a/f; MODIFIED a/f; MODIFIED a/f; OLD a/f; NEW a/g; REMOVED a/g; ADDED b/g; REMOVED b/g; ADDED c; REMOVED c"},
    {"rename over a file, and a directory over an empty one", "a/f a/g a/d/x a/e/", "mv a/f a/g; mv a/d a/e; read; touch a/e/h; read", "REMOVED a/g; OLD a/f; NEW a/g; REMOVED a/e; OLD a/d; NEW a/e; ADDED a/e/h", kSkip},
    {"a new chain is listed once watched, each entry once", "", "mkdir a; watching a/b: touch a/b/f; mkdir a/b; read; touch a/b/g; read", "ADDED a; ADDED a/b; ADDED a/b/f; ADDED a/b/g", kSkip},
    {"listed inside a listing's window, then moved out", "a/d/f", "mkdir n; read 1; mv a/d n/e; mv n/e ~/e; read; later 5", "ADDED n; REMOVED a/d; ADDED n/e; REMOVED n/e", kSkip},
    {"a move met by a listing made once the queue was read", "a/d/f b/ c/x/", "mv a/d b/e; mv b b2; watching b2/e: mv c/x b2/e/x; read; read", "REMOVED a/d; ADDED b/e; OLD b; NEW b2; ADDED b2/e/f; REMOVED c/x; ADDED b2/e/x", kSkip},
    {"in a listing's window, renamed over a directory an event told of", "a/d/", "mkdir n; read 1; mv a/d n/d; mkdir n/y; mv n/y n/d; read; touch n/d/g; read", "ADDED n; REMOVED a/d; ADDED n/d; ADDED n/y; REMOVED n/d; OLD n/y; NEW n/d; ADDED n/d/g", kSkip},
    {"in a listing's window, renamed over a directory the listing showed before", "b/s/f", "mkdir n; mkdir n/t; listing n: mv b/s n/s; listing n/t: mv n/s n/t; read; touch n/t/g; read", "ADDED n; ADDED n/t; REMOVED b/s; ADDED n/s; REMOVED n/t; OLD n/s; NEW n/t; ADDED n/t/g", kSkip},
    {"a directory renamed while its parent is listed", "", "mkdir n; mkdir n/x; touch n/x/f; listing n: mv n/x n/y; read; touch n/y/g; read", "ADDED n; ADDED n/y; ADDED n/y/f; ADDED n/y/g", kSkip},
    {"an entry gone before the listing is not reported gone", "", "mkdir a; touch a/f; watching a: rm a/f; read", "ADDED a", kSkip},
    {"renamed before its creation was handled", "", "mkdir n; mkdir n/x; touch n/x/f; mv n m; read; touch m/x/g; read", "ADDED n; OLD n; NEW m; ADDED m/x; ADDED m/x/f; ADDED m/x/g", kSkip},
    {"removed before its creation was handled", "", "mkdir n; mkdir n/x; rm -r n; mkdir n2; read; touch n2/g; read", "ADDED n; REMOVED n; ADDED n2; ADDED n2/g", kSkip},
    {"parent renamed before a new directory's creation was handled", "b/", "mkdir b/d; mv b c; read; touch c/d/g; read", "ADDED b/d; OLD b; NEW c; ADDED c/d/g", kSkip},
    {"moved into a new directory not watched yet", "a/d/f b/", "mkdir b/n; mv a/d b/n/d; read; later 5; touch b/n/d/g; read", "ADDED b/n; REMOVED a/d; ADDED b/n/d; REMOVED b/n/d; ADDED b/n/d; ADDED b/n/d/f; ADDED b/n/d/g", kSkip},
    {"moved out of a new directory not watched yet", "b/", "mkdir n; mkdir n/d; mkdir n/d/x; touch n/d/f; mv n/d b/d; read; touch b/d/g; read", "ADDED n; ADDED b/d; ADDED b/d/f; ADDED b/d/x; ADDED b/d/g", kSkip},
    {"moved in from outside and filled at once", "~/e/", "mv ~/e e; touch e/f; read; touch e/g; read", "ADDED e; ADDED e/f; ADDED e/g", kSkip},
    {"moved out, then an event from its old watch", "d/", "mv d ~/d; touch ~/d/x; read; touch y; read", "REMOVED d; ADDED y", kSkip},
    // Older changes below a directory keep its old path, even though a walk
    // has already found it in its new place.
    {"moved after older changes below it", "q/x/y/ q/x/gone/ p/w/", "mkdir n; touch q/x/y/f; mv q/x/y/f q/x/y/g; mv q/x/gone ~/gone; mv q/x p/w/x; mv p/w n/w; read; later 5; touch n/w/x/y/h; read", "ADDED n; ADDED q/x/y/f; OLD q/x/y/f; NEW q/x/y/g; REMOVED q/x/gone; REMOVED q/x; ADDED p/w/x; REMOVED p/w; ADDED n/w; REMOVED n/w; ADDED n/w; ADDED n/w/x; ADDED n/w/x/y; ADDED n/w/x/y/g; ADDED n/w/x/y/h", kSkip},
    // Where it was between leaving and being found is not known: changes in
    // it meanwhile are told by telling it replaced.
    {"changed after moving out of sight, before it was found", "a/d/f", "mkdir n; mv a/d n/d; touch n/d/g; rm n/d/f; read; later 5; read", "ADDED n; REMOVED a/d; ADDED n/d; REMOVED n/d; ADDED n/d; ADDED n/d/g", kSkip},
    {"moved twice out of sight, seen in both places", "a/d/g", "mkdir n; mkdir m; mv a/d n/d; watching m: mv n/d m/d; read", "ADDED n; ADDED m; REMOVED a/d; ADDED m/d; REMOVED m/d; ADDED m/d; ADDED m/d/g", kSkip},
    {"moved out inside another, then back into a directory not watched yet", "a/b/c/f", "mkdir n; mv a ~/a; mv ~/a/b/c n/c; read", "ADDED n; REMOVED a; ADDED n/c; ADDED n/c/f", kSkip},
    {"moved on through a directory not watched yet", "q/x/y/ q/x/g b/", "mkdir n; mv q/x n/x; mv n/x b/x; rm b/x/g; read; touch b/x/y/h; read", "ADDED n; REMOVED q/x; ADDED b/x; REMOVED b/x/g; ADDED b/x/y/h", kSkip},
    {"moved on, by its name alone where the path is stale", "q/w/y/ q/w/g p/", "mkdir n; mv q/w n/w; mv n/w p/w; rm p/w/g; mv p p2; read; touch p2/w/y/h; read", "ADDED n; REMOVED q/w; ADDED p/w; REMOVED p/w; ADDED p/w; OLD p; NEW p2; ADDED p2/w/y; ADDED p2/w/y/h", kSkip},
    {"taken for another of its name: told afresh", "q/v/ p/ ~/w/", "mv q/v ~/v; mv ~/w p/v; mv p p2; read; touch p2/v/h; read", "REMOVED q/v; ADDED p/v; REMOVED p/v; ADDED p/v; OLD p; NEW p2; ADDED p2/v/h", kSkip},
    // A directory moved under a new name: no reader can carry what it held
    // across, so that is listed; and no path that never existed is printed.
    {"moved under a new name into a directory not watched yet", "d2/f", "mkdir x; mv d2 x/d3; read; later 5; touch x/d3/g; read", "ADDED x; REMOVED d2; ADDED x/d3; ADDED x/d3/f; ADDED x/d3/g", kSkip},
    {"moved and renamed out of sight, its old name taken again", "q/x/y/f", "mkdir n; mv q/x n/x; mv n/x n/z; mkdir n/x; read; later 5; touch n/z/y/h; read", "ADDED n; ADDED n/x; REMOVED q/x; ADDED n/z; ADDED n/z/y; ADDED n/z/y/f; ADDED n/z/y/h", kSkip},
    {"moved to another directory under a new name", "a/d1/f a/d1/e/ b/", "mv a/d1 b/d3; touch b/d3/g; rm b/d3/f; read; touch b/d3/e/h; read", "REMOVED a/d1; ADDED b/d3; ADDED b/d3/e; ADDED b/d3/g; ADDED b/d3/e/h", kSkip},
    // Moved into a directory made a moment before, its watch in place before
    // the move and its listing after: one ADDED per entry.
    {"a file moved into a directory just made", "m", "mkdir d; watching d: mv m d/m; read", "ADDED d; ADDED d/m; REMOVED m", kSkip},
    {"a directory moved into a directory just made", "m/f", "mkdir d; watching d: mv m d/m; read; touch d/m/g; read", "ADDED d; REMOVED m; ADDED d/m; ADDED d/m/g", kSkip},
    {"a directory from outside moved into a directory just made", "~/m/f", "mkdir d; watching d: mv ~/m d/m; read; touch d/m/g; read", "ADDED d; ADDED d/m; ADDED d/m/f; ADDED d/m/g", kSkip},
    // What was made in a directory while it could not be read is told once
    // it can be, as for a new directory.
    {"an unreadable directory made readable is listed", "", "mkdir d; lock d; read; touch d/s; mkdir d/e; touch d/e/f; unlock d; read; touch d/e/g; read", "ADDED d; MODIFIED d; MODIFIED d; ADDED d/e; ADDED d/s; ADDED d/e/f; ADDED d/e/g", "ADDED d; MODIFIED d; ADDED d/s; ADDED d/e; ADDED d/e/f; MODIFIED d; ADDED d/e/g"},
    {"the kernel's queue overflows", "a/", "touch a/f; overflow; touch a/g; read; touch a/h; read", "OVERFLOW; ADDED a/h", kSkip},
    {"a watch refused at the limit", "a/", "limit 2; mkdir b; read; touch a/f; read", "OVERFLOW; ADDED a/f", kSkip},
    {"the root deleted", "a/f", "touch g; rm -r .; read; touch h", "ADDED g; REMOVED a/f; REMOVED a; REMOVED g; GONE",
     "ADDED g; REMOVED g; REMOVED a/f; REMOVED a; GONE"},
    {"a move's lone first half waits for its second", "a/f", "mv a/f ~/f; read; later 4; mark; later 1", "|; REMOVED a/f", kSkip},
    {"not recursive: only the root's own entries", "a/", "touch f; touch a/g; mkdir d; touch d/h; read", "ADDED f; ADDED d", kSkip, false},
    {"a new chain is known from its events", "", "mkdir a; mkdir a/b; touch a/b/f; read; touch a/b/g; read", kSkip, "ADDED a; ADDED a/b; ADDED a/b/f; ADDED a/b/g"},
    {"directories met late, where they were then", "p/q/r/", "touch p/q/r/f; mv p/q p/q2; touch p/q2/r/g; read", kSkip, "ADDED p/q/r/f; OLD p/q; NEW p/q2; ADDED p/q2/r/g"},
    {"moved in from outside", "~/e/f", "mv ~/e e; touch e/g; read", kSkip, "ADDED e; ADDED e/g; ADDED e/f"},
    {"a listing met a directory where a name is made again later", "~/e/", "mv ~/e e; mkdir e/x; mkdir e/x/y; touch e/x/y/f; mv e/x/y/f e/x/y/h; mv e/x e/q; mkdir e/x; mkdir e/x/y; read; touch e/q/y/g; touch e/x/y/k; read", kSkip, "ADDED e; ADDED e/x; ADDED e/x/y; ADDED e/x/y/f; OLD e/x/y/f; NEW e/x/y/h; OLD e/x; NEW e/q; ADDED e/x; ADDED e/x/y; ADDED e/q/y/g; ADDED e/x/y/k"},
    {"moved under a new name", "a/d1/f b/", "mv a/d1 b/d3; read; touch b/d3/g; read", kSkip, "REMOVED a/d1; ADDED b/d3; ADDED b/d3/f; ADDED b/d3/g"},
    {"made while a directory is looked up, then moved: its making is read first", "ab/ d.d/", "mkdir -p a.c/b; chmod ab; mv ab a.c/a.c; looking a.c/a.c: mkdir -p a.c/x/e/ab/d; mkdir -p a.c/a.c/d; read 143; mv a.c/x/e a.c/a.c/b; read", kSkip, kAny},
    {"made, renamed, renamed back a full read later and removed: gone after its last rename", "a/", "touch d.d; mv d.d f; renames 700; mv f d.d; rm d.d; read", kSkip, kAny},
    {"directories outside changed, then replaced by a rename of the same or another process: none was the reader's", "~/d/ ~/e/ ~/f/ ~/g/ a/", "chmod ~/e; mv ~/d ~/e; chmod ~/g; pid 2; mv ~/f ~/g; read; touch a/f; read", kSkip, "ADDED a/f"},
    {"a directory changed, then replaced by a rename after others: which one is not known", "f/a+/ b-1/", "mv f/a+ f/d; chmod b-1; mv f/d f/a+; mv f/a+ b-1; read; touch b-1/g; read", kSkip, "OVERFLOW; ADDED b-1/g"},
    {"renamed back and forth, the last rename merged away, then written and removed", "", "touch a; mv a b; mv b d; write d; mv d b; mv b d; rm d; read", kSkip, "ADDED a; OLD a; NEW b; OLD b; NEW d; OLD d; NEW b; OLD b; NEW d; REMOVED d"},
    {"renamed away, back and away again, its name made anew: the merged rename first", "a.c", "mv a.c b; mv b a.c; mv a.c b; touch a.c; read", kSkip, "OLD a.c; NEW b; OLD b; NEW a.c; OLD a.c; NEW b; ADDED a.c"},
    {"a directory changed, then replaced by a rename seen while it is looked for", "~/b-1/ x/ e/e/b-1/", "looking e/e: mv e ~/b-1; rm -r e/e/b-1; mv x a+; touch ~/b-1; read", kSkip, "REMOVED e/e/b-1; OLD x; NEW a+; REMOVED e"},
    {"a directory changed, then removed while it is looked for, after an unrelated rename", "a-b/d.d/ ab/", "mv ab f; looking a-b/d.d: rm -r a-b; chmod a-b/d.d; read", kSkip, "OLD ab; NEW f; MODIFIED a-b/d.d; REMOVED a-b/d.d; REMOVED a-b"},
    {"moved out, nothing below it after", "a/", "mv a ~/a; touch ~/a/x; read; touch y; read", kSkip, "REMOVED a; ADDED y"},
    {"left and came back, then filled, before any was read", "", "touch a; mkdir d1; mkdir d2; mv d1 d2/d1; mv d2/d1 d1; mv a d1/a; read; touch d1/g; read", "ADDED a; ADDED d1; ADDED d1/a; ADDED d2; REMOVED a; ADDED d1/g", "ADDED a; ADDED d1; ADDED d2; REMOVED d1; ADDED d2/d1; REMOVED d2/d1; ADDED d1; REMOVED a; ADDED d1/a; ADDED d1/g"},
    {"a name that goes on with a character sorting before /, both made again", "", "mkdir a-b; mkdir a; touch a-b/f; touch a/f; read; rm -r a; rm -r a-b; mkdir a-b; mkdir a; touch a-b/f; touch a/f; read", "ADDED a-b; ADDED a-b/f; ADDED a; ADDED a/f; REMOVED a/f; REMOVED a; REMOVED a-b/f; REMOVED a-b; ADDED a-b; ADDED a-b/f; ADDED a; ADDED a/f", "ADDED a-b; ADDED a; ADDED a-b/f; ADDED a/f; REMOVED a/f; REMOVED a; REMOVED a-b/f; REMOVED a-b; ADDED a-b; ADDED a; ADDED a-b/f; ADDED a/f"},
    // Enough renames to be handed over in several pieces, none between the
    // two halves of one (the oracle checks every row for it).
    {"renames in a long run", "a/", "touch a/012345678901234567890123; renames 700; read", kAny, kAny},
};

struct Case {
    const Row* row;
    KernelModel::Kernel kernel;
};

std::vector<Case> cases() {
    std::vector<Case> all;
    for (const Row& row : kRows) {
        if (row.inotify != kSkip) all.push_back({&row, KernelModel::Kernel::Inotify});
        if (row.fanotify != kSkip) all.push_back({&row, KernelModel::Kernel::Fanotify});
    }
    return all;
}

std::string nameOf(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.kernel == KernelModel::Kernel::Inotify ? "inotify_" : "fanotify_";
    for (const char* c = info.param.row->what; *c != 0; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

class Stories : public testing::TestWithParam<Case> {};

TEST_P(Stories, GiveExactlyTheirRecords) {
    const Row& row = *GetParam().row;
    StoryOptions options;
    options.kernel = GetParam().kernel;
    options.recursive = row.recursive;
    Story story(row.tree, options);
    ASSERT_TRUE(story.started());
    story.performAll(row.steps);
    const char* expected = options.kernel == KernelModel::Kernel::Inotify ? row.inotify : row.fanotify;
    if (std::string(expected) != kAny) {
        EXPECT_EQ(story.joined(), expected);
    }
    EXPECT_EQ(firstFault(story), "") << story.joined();
}

INSTANTIATE_TEST_SUITE_P(ChangeTracker, Stories, testing::ValuesIn(cases()), nameOf);

}  // namespace
