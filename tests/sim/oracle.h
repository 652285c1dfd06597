// What every story must keep, whatever its schedule: the reader's replay of
// the records onto the starting tree ends at the tree on the disk; every
// path printed is one that existed; nothing is told to a reader that could
// not have it (an ADDED of what it holds, a REMOVED, OLD or MODIFIED of what
// it does not, an ADDED in a directory it does not hold); a rename's halves
// come together; a file renamed in place in a directory that stayed where it
// was is told as a rename. After an overflow the reader starts again from the tree as
// it was then, and only the end must be right.
#pragma once

#include <string>

#include "tests/sim/story.h"

/// The first fault in the story's records, or an empty string.
std::string firstFault(Story& story);
