// What the Linux side does when standard output has lost its reader, or
// cannot take what it is given.
#pragma once

/// Writes what standard output could not take before (a full disk), as far as
/// it takes it now. Returns whether nothing is owed any more: until then no
/// further report should be printed, so that its records wait where their
/// loss, if it comes to that, is told by an overflow.
bool standardOutputCaughtUp();

/// Whether standard output is a pipe or a socket: the only kinds whose reader
/// can go away while the program runs.
bool standardOutputCanLoseItsReader();

/// Ends the program because nobody reads its output any more: with the
/// terminal put back, and by SIGPIPE when that signal is not ignored, else
/// with the status of a failed run. A watcher whose report goes nowhere would
/// otherwise run on for ever.
[[noreturn]] void endBecauseOutputIsGone();

/// Ends the program with the status of a failed run, the terminal put back,
/// because standard output can never be written: closed, not open for
/// writing, or a device that takes nothing.
[[noreturn]] void endBecauseOutputCannotBeWritten();
