// The Windows side of the keyboard question; _kbhit itself is the C runtime's.
#include "platform/platform.h"

// A console program always has a console to be typed into, or is meant to be
// given one: the loop waits for a key, as it always has.
bool keystrokeCanArrive() { return true; }
