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
    size_t readBytes = 0;  // each read's buffer, where not the default
};

// A name long enough that a read of 288 bytes holds one event of it.
#define LONG_NAME "n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789"

const Row kRows[] = {
    {"each kind of change", "a/ a/old b/", "touch a/f; write a/f; chmod a/f; mv a/f a/g; mv a/g b/g; rm b/g; mkdir c; rmdir c; read", "ADDED a/f; MODIFIED a/f; MODIFIED a/f; OLD a/f; NEW a/g; REMOVED a/g; ADDED b/g; REMOVED b/g; ADDED c; REMOVED c", "ADDED a/f; MODIFIED a/f; MODIFIED a/f; OLD a/f; NEW a/g; REMOVED a/g; ADDED b/g; REMOVED b/g; ADDED c; REMOVED c"},
    {"rename over a file, and a directory over an empty one", "a/f a/g a/d/x a/e/", "mv a/f a/g; mv a/d a/e; read; touch a/e/h; read", "REMOVED a/g; OLD a/f; NEW a/g; REMOVED a/e; OLD a/d; NEW a/e; ADDED a/e/h", kSkip},
    {"a new chain is listed once watched, each entry once", "", "mkdir a; watching a/b: touch a/b/f; mkdir a/b; read; touch a/b/g; read", "ADDED a; ADDED a/b; ADDED a/b/f; ADDED a/b/g", kSkip},
    {"listed inside a listing's window, then moved out", "a/d/f", "mkdir n; read 1; mv a/d n/e; mv n/e ~/e; read; later 5", "ADDED n; REMOVED a/d; ADDED n/e; REMOVED n/e", kSkip},
    {"a move met by a listing made once the queue was read", "a/d/f b/ c/x/", "mv a/d b/e; mv b b2; watching b2/e: mv c/x b2/e/x; read; read", "REMOVED a/d; ADDED b/e; OLD b; NEW b2; REMOVED c/x; ADDED b2/e/x; ADDED b2/e/f", kSkip},
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
    {"moved out inside another, then back into a directory not watched yet", "a/b/c/f", "mkdir n; mv a ~/a; mv ~/a/b/c n/c; read; later 10; read", "ADDED n; REMOVED a; ADDED n/c; ADDED n/c/f", kSkip},
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
    {"a file moved back to a name a directory held and left, the move merged away: the directory gone first, once", "a+", "mv a+ x-1.0; mv x-1.0 a+; mkdir x-1.0; rm -r x-1.0; mv a+ x-1.0; rm -r x-1.0; read; later 10; read", kSkip, kAny},
    {"a file moved back over one made after the identical earlier move, then renamed: the one made told replaced", "b/a d/a-b/", "mv b/a d/a-b/a; mv d/a-b/a b/a; mv b/a d/a-b/a; touch b/a; mv d/a-b/a b/a; mv b/a b/x-1.0; read; later 10; read", kSkip, kAny},
    {"a directory back from one not watched yet, then renamed over it while a new one is made under its old name: the new one told before what is in it", "b-1/x-1.0/e/", "mkdir -p b-1/x-1.0/x-1.0; mv b-1/x-1.0/e b-1/x-1.0/x-1.0/a-b; mv b-1/x-1.0/x-1.0/a-b b-1/x-1.0/e; mkdir -p b-1/x-1.0/e/d.d/d/d/a-b/f; mv b-1/x-1.0/e b-1/x-1.0/x-1.0; listing b-1/x-1.0/x-1.0/d.d/d: mkdir -p b-1/x-1.0/e/x-1.0/d.d/d; read; later 10; read", kAny, kAny},
    {"a directory moved out of one, back and out again, merged, the one it left removed: told where the merged move took it", "a/d.d/ b/", "mkdir a/d.d/b; mv a/d.d/b b/x; mv b/x a/d.d/b; mv a/d.d/b b/x; rm -r a/d.d; read; touch b/x/f; read; later 10; read", kSkip, kAny},
    {"a directory moved away and back, the one it went to removed, then renamed over from the moved parent: not told gone out before it is replaced", "b/a.c/ b/a-b/ b/d/", "mv b/a.c b/a-b/a.c; mv b/a-b/a.c b/a.c; rm -r b/a-b; mv b c; mv c/d c/a.c; read; later 10; read", kSkip, kAny},
    {"a file renamed away, back and away again, merged, a new one made at its name, then moved back over it and removed: told leaving before the new one comes", "x", "mv x x-1.0; mv x-1.0 x; mv x x-1.0; touch x; mv x-1.0 x; rm x; read; later 10; read", kSkip, kAny},
    {"a file moved back over one made after the identical earlier move, a directory then made at its old name: the one made told replaced", "b/", "touch a-b; mv a-b b/d.d; mv b/d.d a-b; touch b/d.d; mv a-b b/d.d; mkdir a-b; read; later 10; read", kSkip, kAny},
    {"a file made outside, its directory moved in, the file renamed away and back, then removed: told gone where it went", "", "mkdir -p ~/a/e; touch ~/a/e/f; mv ~/a/e x; mv x/f x/d; mv x/d x/f; rm x/f; read; later 10; read", kSkip, kAny},
    {"out, back and out again, the last merged away, then changed outside", "x/x-1.0/", "mkdir -p ~/a-b; mv x/x-1.0 ~/a-b/d.d; mv ~/a-b/d.d x/x-1.0; mv x/x-1.0 ~/a-b/d.d; touch ~/a-b/d.d/d; read; later 10; read", kSkip, kAny},
    {"out, back and out again, the last merged away, changed outside, then back under a new name", "x/x-1.0/", "mkdir -p ~/a-b; mv x/x-1.0 ~/a-b/d.d; mv ~/a-b/d.d x/x-1.0; mv x/x-1.0 ~/a-b/d.d; touch ~/a-b/d.d/d; mv ~/a-b/d.d x/d.d; read; later 10; read", kSkip, kAny},
    {"there, back and there again, the last merged away, where it came from removed", "ab/d/e/", "mkdir x-1.0; read; mv ab/d x-1.0/a.c; mv x-1.0/a.c ab/d; mv ab/d x-1.0/a.c; rm -r ab; mkdir x-1.0/a.c/a+; read; later 10; read", kSkip, kAny},
    {"a file there, back and there again, the last merged away, where it came from removed", "e/", "touch e/ab; mv e/ab a.c; mv a.c e/ab; mv e/ab a.c; rm e; mv a.c a+; read; later 10; read", kSkip, kAny},
    {"a file there and back, its old name made anew, then there again over it, merged away", "d/a/ d/e/x", "mv d/e/x d/a/x; mv d/a/x d/e/x; touch d/a/x; mv d/e/x d/a/x; read; later 10; read", kSkip, kAny},
    {"out, back and out again, the last merged away, then in under another name", "a.c/", "mkdir -p ~/d; mv a.c ~/d/d.d; mv ~/d/d.d a.c; mv a.c ~/d/d.d; mv ~/d/d.d b; mkdir -p x/a.c/a; mv x/a.c a.c; read; later 10; read", kSkip, kAny},
    {"renamed, back and again, the last merged away, then a rename inside it", "a/a.c/a-b/e/", "mv a/a.c a/x-1.0; mv a/x-1.0 a/a.c; mv a/a.c a/x-1.0; mv a/x-1.0/a-b/e a/x-1.0/a-b/x; read; later 10; read", kSkip, kAny},
    {"directories outside changed, then replaced by a rename of the same or another process: none was the reader's", "~/d/ ~/e/ ~/f/ ~/g/ a/", "chmod ~/e; mv ~/d ~/e; chmod ~/g; pid 2; mv ~/f ~/g; read; touch a/f; read", kSkip, "ADDED a/f"},
    {"a directory changed, then replaced by a rename after others: which one is not known", "f/a+/ b-1/", "mv f/a+ f/d; chmod b-1; mv f/d f/a+; mv f/a+ b-1; read; touch b-1/g; read", kSkip, "OVERFLOW; ADDED b-1/g"},
    {"renamed back and forth, the last rename merged away, then written and removed", "", "touch a; mv a b; mv b d; write d; mv d b; mv b d; rm d; read", kSkip, "ADDED a; OLD a; NEW b; OLD b; NEW d; OLD d; NEW b; OLD b; NEW d; REMOVED d"},
    {"renamed away, back and away again, its name made anew: the merged rename first", "a.c", "mv a.c b; mv b a.c; mv a.c b; touch a.c; read", kSkip, "OLD a.c; NEW b; OLD b; NEW a.c; OLD a.c; NEW b; ADDED a.c"},
    {"a directory changed, then replaced by a rename seen while it is looked for", "~/b-1/ x/ e/e/b-1/", "looking e/e: mv e ~/b-1; rm -r e/e/b-1; mv x a+; touch ~/b-1; read", kSkip, "REMOVED e/e/b-1; OLD x; NEW a+; REMOVED e"},
    {"a directory changed, then removed while it is looked for, after an unrelated rename", "a-b/d.d/ ab/", "mv ab f; looking a-b/d.d: rm -r a-b; chmod a-b/d.d; read", kSkip, "OLD ab; NEW f; MODIFIED a-b/d.d; REMOVED a-b/d.d; REMOVED a-b"},
    {"moved out, nothing below it after", "a/", "mv a ~/a; touch ~/a/x; read; touch y; read", kSkip, "REMOVED a; ADDED y"},
    {"left and came back, then filled, before any was read", "", "touch a; mkdir d1; mkdir d2; mv d1 d2/d1; mv d2/d1 d1; mv a d1/a; read; touch d1/g; read", "ADDED a; ADDED d1; ADDED d2; REMOVED d1; ADDED d1; ADDED d1/a; REMOVED a; ADDED d1/g", "ADDED a; ADDED d1; ADDED d2; REMOVED d1; ADDED d2/d1; REMOVED d2/d1; ADDED d1; REMOVED a; ADDED d1/a; ADDED d1/g"},
    {"a name that goes on with a character sorting before /, both made again", "", "mkdir a-b; mkdir a; touch a-b/f; touch a/f; read; rm -r a; rm -r a-b; mkdir a-b; mkdir a; touch a-b/f; touch a/f; read", "ADDED a-b; ADDED a-b/f; ADDED a; ADDED a/f; REMOVED a/f; REMOVED a; REMOVED a-b/f; REMOVED a-b; ADDED a-b; ADDED a-b/f; ADDED a; ADDED a/f", "ADDED a-b; ADDED a; ADDED a-b/f; ADDED a/f; REMOVED a/f; REMOVED a; REMOVED a-b/f; REMOVED a-b; ADDED a-b; ADDED a; ADDED a-b/f; ADDED a/f"},
    {"a directory renamed there and back and there again, then moved into: the merged rename first", "~/b", "mkdir b; mv b d; mv d b; mv b d; mv ~/b d/x; read", kAny, "ADDED b; OLD b; NEW d; OLD d; NEW b; OLD b; NEW d; ADDED d/x"},
    {"made, moved out, its parent renamed, moved back and removed: told gone last", "d.d/", "mkdir d.d/a; mv d.d/a a-b; mv d.d ab; mv a-b ab/a; rm -r ab/a; read", kAny, "ADDED d.d/a; REMOVED d.d/a; ADDED a-b; OLD d.d; NEW ab; REMOVED a-b; ADDED ab/a; REMOVED ab/a"},
    {"made, renamed there and back, its parent moved, then removed: told gone after its renames", "", "mkdir -p a/x-1.0/d; mv a b-1; mv b-1/x-1.0/d b-1/x-1.0/b-1; mv b-1/x-1.0/b-1 b-1/x-1.0/d; mv b-1/x-1.0 b-1/b-1; mv b-1/b-1 b-1/b; rm b-1/b/d; read", kAny, "ADDED a; ADDED a/x-1.0; ADDED a/x-1.0/d; OLD a; NEW b-1; OLD b-1/x-1.0/d; NEW b-1/x-1.0/b-1; OLD b-1/x-1.0/b-1; NEW b-1/x-1.0/d; REMOVED b-1/x-1.0/d; OLD b-1/x-1.0; NEW b-1/b-1; OLD b-1/b-1; NEW b-1/b"},
    {"made, renamed round, removed under the name it was made under: told gone after its renames", "~/a-b/", "mkdir d.d; mv d.d d; mv ~/a-b d/d; rm d/d; mv d b; mv b d.d; rm -r d.d; read", kAny, "ADDED d.d; OLD d.d; NEW d; ADDED d/d; REMOVED d/d; OLD d; NEW b; OLD b; NEW d.d; REMOVED d.d"},
    {"a directory changed, then replaced by a rename, another changed right after: a loss, not a false removal", "b-1/ x-1.0/", "mkdir -p a+/d.d/a+/f/a-b; mv a+/d.d/a+/f ~/a.c; touch b-1; mv a+/d.d/a+ b-1; chmod x-1.0; read", kAny, "OVERFLOW"},
    {"a file renamed there and back twice: the kernel merges the renames, told once", "d.d", "mv d.d f; mv f d.d; mv d.d f; mv f d.d; read", kAny, "OLD d.d; NEW f; OLD f; NEW d.d"},
    {"renamed round onto its name and away again, its name made anew, then removed", "", "touch ab; mv ab e; mv e a; mv a ab; mv ab e; mkdir -p ab/a-b; rm -r e; read", kAny, "ADDED ab; OLD ab; NEW e; OLD e; NEW a; OLD a; NEW ab; OLD ab; NEW e; ADDED ab; ADDED ab/a-b; REMOVED e"},
    {"renamed round inside a directory, the last rename merged away, then the directory renamed", "d.d/", "mv d.d a+; mkdir a+/x; mv a+/x a+/ab; mv a+/ab a+/x-1.0; mv a+/x-1.0 a+/x; mv a+/x a+/ab; mv a+ x; read", kAny, "OLD d.d; NEW a+; ADDED a+/x; OLD a+/x; NEW a+/ab; OLD a+/ab; NEW a+/x-1.0; OLD a+/x-1.0; NEW a+/x; OLD a+/x; NEW a+/ab; OLD a+; NEW x"},
    {"moved out and back, then replaced: not looked for where its moves took it", "a/", "watching a.c: mkdir a.c/d; mkdir -p a.c/a.c/f/f/a; mv a.c/a.c ~/a-b; mv a d; mv a.c ~/e; mv ~/e a.c; mkdir d/a; mv d/a a.c; read", kAny, "ADDED a.c; ADDED a.c/a.c; ADDED a.c/a.c/f; ADDED a.c/a.c/f/f; ADDED a.c/a.c/f/f/a; REMOVED a.c/a.c; OLD a; NEW d; REMOVED a.c; ADDED a.c; ADDED d/a; REMOVED a.c; REMOVED d/a; ADDED a.c; ADDED a.c/d"},
    {"two renames in a row merged away: both told, in order", "~/d.d", "mv ~/d.d f; mv f d; mv d a+; mv a+ f; mv f d; mv d a+; read; mv a+ a-b; read", kAny, "ADDED f; OLD f; NEW d; OLD d; NEW a+; OLD a+; NEW f; OLD f; NEW d; OLD d; NEW a+; OLD a+; NEW a-b"},
    {"a file replaced where a rename merged away had taken it: that rename first", "", "touch x-1.0; mv x-1.0 f; mv f x-1.0; mv x-1.0 f; touch a; mv a d; mv d f; read", kAny, "ADDED x-1.0; OLD x-1.0; NEW f; OLD f; NEW x-1.0; ADDED a; OLD a; NEW d; OLD x-1.0; NEW f; REMOVED f; OLD d; NEW f"},
    {"a directory moved on from where a rename merged away had taken it, made in between", "f/", "mv f d.d; mv d.d a+; mv a+ d; mv d a+; mv a+ d; mkdir d/a.c; mv d a.c; read", kAny, "OLD f; NEW d.d; OLD d.d; NEW a+; OLD a+; NEW d; OLD d; NEW a+; OLD a+; NEW d; ADDED d/a.c; OLD d; NEW a.c"},
    {"a rename merged away, a file made and moved out meanwhile: before or after is not known, a loss", "x/", "mv x a-b; mv a-b x; touch x/a+; mv x/a+ ~/a.c; mv x a-b; read", kAny, "OVERFLOW"},
    {"a file moved out of a directory that moved, then removed: no rename merged away is made up", "a-b/", "mkdir a-b/a-b; touch a-b/a-b/f; mv a-b/a-b a; mv a/f x-1.0; mv x-1.0 a-b/a+; touch x-1.0; rm -r a; read; mv a-b/a+ ~/x-1.0; read; later 10; read", kAny, "ADDED a-b/a-b; ADDED a-b/a-b/f; REMOVED a-b/a-b; ADDED a; ADDED x-1.0; REMOVED x-1.0; ADDED a-b/a+; ADDED x-1.0; REMOVED a; REMOVED a-b/a+"},
    {"moved out and in again twice, the second coming in merged away: told in again", "", "touch x; mv x a+; mv a+ ~/ab; mv ~/ab ab; mv ab ~/ab; mv ~/ab ab; mv ab d; read; later 10; read", kAny, "ADDED x; OLD x; NEW a+; REMOVED a+; ADDED ab; REMOVED ab; ADDED ab; OLD ab; NEW d"},
    {"renamed round in a directory that is renamed, then all removed: the merged rename told before the directory's", "", "mkdir -p x-1.0/b/f; mv x-1.0 f; mv f ab; mv ab d.d; mv d.d/b d.d/e; mv d.d/e d.d/b-1; mv d.d/b-1 d.d/b; mv d.d/b d.d/e; mv d.d d; rm -r d; read", kAny, "ADDED x-1.0; ADDED x-1.0/b; ADDED x-1.0/b/f; REMOVED x-1.0/b/f; OLD x-1.0; NEW f; OLD f; NEW ab; OLD ab; NEW d.d; OLD d.d/b; NEW d.d/e; OLD d.d/e; NEW d.d/b-1; OLD d.d/b-1; NEW d.d/b; OLD d.d/b; NEW d.d/e; OLD d.d; NEW d; REMOVED d/e; REMOVED d"},
    {"renamed onto its name and away again merged, another renamed onto that name: the merged rename first", "", "touch d; mv d x; mv x d; touch a; mv d x; mv a d; rm d; read", kAny, "ADDED d; OLD d; NEW x; OLD x; NEW d; ADDED a; OLD d; NEW x; OLD a; NEW d; REMOVED d"},
    {"a rename merged away, then a change below the directory: the rename first", "", "mkdir -p x-1.0/a.c/e; mv x-1.0 a.c; mkdir -p a.c/a-b/d.d; mv a.c x-1.0; mv x-1.0 a.c; touch a.c/a-b/a.c; read", kAny, "ADDED x-1.0; ADDED x-1.0/a.c; ADDED x-1.0/a.c/e; OLD x-1.0; NEW a.c; ADDED a.c/a-b; ADDED a.c/a-b/d.d; OLD a.c; NEW x-1.0; OLD x-1.0; NEW a.c; ADDED a.c/a-b/a.c"},
    {"a directory changed, its rename merged away, then replaced: gone with no word of how, a loss", "", "mkdir -p ~/f/a+/d/b; mkdir d.d; mv d.d a.c; mv a.c d.d; chmod d.d; mv d.d a.c; mv ~/f a.c; read; later 10; read", kAny, "OVERFLOW"},
    {"renamed away by a merged rename, its name made anew, then back over it and removed", "", "touch a+; mv a+ x-1.0; mv x-1.0 a+; mv a+ b; mv b x-1.0; mv x-1.0 a+; touch x-1.0; mv a+ a.c; mv a.c x-1.0; rm x-1.0; read", kAny, "ADDED a+; OLD a+; NEW x-1.0; OLD x-1.0; NEW a+; OLD a+; NEW b; OLD b; NEW x-1.0; OLD x-1.0; NEW a+; ADDED x-1.0; OLD a+; NEW a.c; REMOVED x-1.0; OLD a.c; NEW x-1.0; REMOVED x-1.0"},
    {"a directory made and moved out, a file through its name, the directory back and removed: told gone last", "", "mkdir f; mv f ~/b; touch d.d; mv d.d f; mv f ~/f; mv ~/b f; rm f; read", "ADDED f; REMOVED f; ADDED d.d; OLD d.d; NEW f; REMOVED f; ADDED f; REMOVED f", "ADDED f; REMOVED f; ADDED d.d; OLD d.d; NEW f; REMOVED f; ADDED f; REMOVED f"},
    {"moved out of a directory, in and out again merged, then the directory renamed: out before it", "b/a+/e", "mv b/a+ b/f; mv b/f ~/a.c; mv ~/a.c a-b; mv a-b/e ~/f; mv ~/f a-b/e; mv a-b/e ~/f; mv a-b e; read", kAny, "OLD b/a+; NEW b/f; REMOVED b/f; ADDED a-b; ADDED a-b/e; REMOVED a-b/e; OLD a-b; NEW e"},
    // A directory's name taken by a newer one before either was read: the
    // path leads to the newer one, which must not stand for the first.
    {"made and renamed, the name made anew and moved into the first", "", "mkdir -p ab/x/b-1/x-1.0; mv ab a-b; mkdir ab; watching a-b: mv ab a-b/x/a.c; read; later 10; read", kAny, kAny},
    {"made and renamed, the name made anew, moved into the first while listed, then filled", "", "mkdir b-1; mv b-1 d; mkdir -p b-1/b; listing b-1: mv b-1 d/x; read; mkdir -p d/x/a-b/e/d/a; read; later 10; read", kAny, kAny},
    {"made, renamed, its name made anew and renamed while listed, then a file made in it", "a+/", "mv a+ ~/a-b; mkdir a.c; listing a.c: mv a.c b; chmod a.c; mv a.c b-1; mkdir -p a.c/x-1.0; read 318; touch b/a; read; later 10; read", kAny, kAny},
    {"made and renamed, its name taken by one moved in and removed while watched", "", "mkdir -p a.c/a+/a/f; mkdir -p d/x; mv a.c/a+/a/f a.c/a+/a/a+; mv d a-b; mv a.c/a+ d; watching d/a/a+: rm -r d; read; later 10; read", kAny, kAny},
    {"renamed, its name made anew and renamed away while watched, then filled", "d", "mv d x-1.0; mkdir e; watching e: mv e x; mv e d; mkdir -p a/d.d/a.c/b/a+/a-b/d.d; mv a/d.d/a.c/b/a+ e; read 276; mkdir -p x/b/b; read; later 10; read", kAny, kAny},
    {"made and renamed while listed, renamed again, its name made anew, a file renamed in it", "", "mkdir a-b; listing a-b: mv a-b d; mv a-b a+; mkdir -p a-b/d.d; touch a-b/b; read 104; mv d/b d/ab; read; later 10; read", kAny, kAny},
    {"made and renamed, its name made anew, the rename a buffer later", "", "mkdir " LONG_NAME "; mv " LONG_NAME " e; mkdir " LONG_NAME "; read; touch e/f; touch " LONG_NAME "/g; read; later 10; read",
     "ADDED " LONG_NAME "; REMOVED " LONG_NAME "; ADDED " LONG_NAME "; ADDED e; ADDED e/f; ADDED " LONG_NAME "/g",
     "ADDED " LONG_NAME "; OLD " LONG_NAME "; NEW e; ADDED " LONG_NAME "; ADDED e/f; ADDED " LONG_NAME "/g", true, 288},
    {"made and renamed, its name made anew, the rename a read later", "a/", "mkdir d; renames 600; mv d e; mkdir d; read; touch e/f; touch d/g; read; later 10; read", kAny, kAny},
    {"moved out and back while an ancestor moved, then moved on beyond a read", "d/", "mv f/x f/a; rm -r f/a; mkdir ab; mv d ~/f; mkdir -p ab/x-1.0/d/a+; mv ab/x-1.0/d f; mv ab ~/a.c; mv ~/a.c a.c; mkdir a; mv f a-b; mv a.c ~/b; mv ~/b a-b/e; mv ~/f f; read 312; mv f a-b/x; mv a-b/e/x-1.0 a-b/a+/e; mv a-b/x a-b/a+/e/b-1; touch a/a.c; mv a/a.c a-b/a+/e/b-1/d.d; read; later 10; read", kAny, kAny},
    // A directory a walk met ahead of its events: those still queued in it
    // happened where it was before.
    {"moved inside a directory not watched yet, made in there, moved on out of it", "", "rm a+; mkdir -p ab/a.c; read; mkdir a+; mv ab a+/a; mkdir a+/a/a.c/ab; mv a+/a/a.c/ab ~/d.d; mv a+/a/a.c a+/a.c; mv a+/a a+/a.c/d.d; read; later 10; read", kAny, kAny},
    {"moved across into a directory not watched yet, filled there, then moved on", "a/a.c/b a.c/ f/", "mv f a.c/a+; mv a/a.c/b b; mkdir -p ab/x; mv a.c ab/a-b; mv b ab/a-b/a+/a.c; rm -r ab/a-b/a+/a.c; mv ab/a-b/a+ ab/e; mv ab/a-b ab/f; mv ab/f ~/b-1; read; later 10; read", kAny, kAny},
    {"moved out of a directory a listing had not yet shown it in, then back", "b/f/ x-1.0/b-1/", "mkdir b/f/x-1.0; read; mv b x-1.0/b-1/a; mv x-1.0/b-1/a/f/x-1.0 ~/f; read; mv ~/f x-1.0/b-1/a/f/x-1.0; read; rm -r x-1.0/b-1; read; later 10; read", kAny, kAny},
    {"moved out, its watch let go, the descriptor taken again before its events are read", "a/", "wds 3; mkdir c; read; mv a ~/a; mkdir b; touch ~/a/f; read", "ADDED c; REMOVED a; ADDED b", kSkip},
    {"moved away through a directory not watched yet, changed there, back under a new name over one a look met", "p/x/f", "mkdir p/y; mkdir u; mv p/x u/x; touch u/x/g; rm u/x/g; mv u/x p/y; read; later 10; read",
     "ADDED p/y; ADDED u; REMOVED p/y; REMOVED p/x; ADDED p/y; ADDED p/y/f",
     "ADDED p/y; ADDED u; REMOVED p/x; ADDED u/x; ADDED u/x/g; REMOVED u/x/g; REMOVED p/y; REMOVED u/x; ADDED p/y; ADDED p/y/f"},
    // A file written after its removal: the kernel names it as it was; a
    // log written on after it was rotated away is kept in mind.
    {"held open, removed, written after many other removals", "", "touch f; hold f; rm f; read; removes 3000; write f; read; removes 3000; write f; read", kAny, kAny},
    // Enough renames to be handed over in several pieces, none between the
    // two halves of one (the oracle checks every row for it).
    {"renames in a long run", "a/", "touch a/012345678901234567890123; renames 700; read", kAny, kAny},
    {"a listing finds a directory where an event told of a file", "", "mkdir -p b/e; mv b ~/a+; mv ~/a+ e; touch e/a; listing e: mkdir -p e/a/e/a-b/ab; watching e: rm e/a; read; touch e/a/e/d.d; read", kAny, "ADDED b; ADDED b/e; REMOVED b; ADDED e; ADDED e/a; ADDED e/e; REMOVED e/a; ADDED e/a; ADDED e/a/e; ADDED e/a/e/a-b; ADDED e/a/e/a-b/ab; ADDED e/a/e/d.d"},
    // Places learned by listing a parent are dropped once a directory moves.
    {"a sibling learned by a listing, moved out before it is met", "ab/ a/", "mkdir ab/a.c; read; mv a ~/ab; touch ~/ab; read", kSkip, "ADDED ab/a.c; REMOVED a"},
    {"a sibling learned by a listing, renamed while it is looked up", "f/d.d/ f/x/a+", "looking f/d.d: mv f/d.d f/a; chmod f/x/a+; touch f/d.d; read", kSkip, "MODIFIED f/x/a+; MODIFIED f/d.d; OLD f/d.d; NEW f/a"},
    {"a file's rename onto a name merged into an identical earlier one: the entry it replaced told gone after the rename before", "", "touch d; mv d d.d; mv d.d f; touch d.d; mv f b; mv b d; mv d d.d; read; later 10; read", kAny, "ADDED d; OLD d; NEW d.d; OLD d.d; NEW f; ADDED d.d; OLD f; NEW b; OLD b; NEW d; REMOVED d.d; OLD d; NEW d.d"},
    {"a directory out and back twice, its second return merged into the first: back before what is changed in it", "a-b/d.d/d.d/", "mv a-b ~/ab; mv ~/ab a.c; mv a.c ~/ab; mv ~/ab a.c; mv a.c/d.d/d.d a.c/d.d/a+; read; later 10; read", kAny, "REMOVED a-b; ADDED a.c; REMOVED a.c; ADDED a.c; ADDED a.c/d.d; ADDED a.c/d.d/a+"},
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
    if (row.readBytes != 0) options.readBytes = row.readBytes;
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
