// What the Linux side does when standard output has lost its reader.
#pragma once

/// Whether standard output is a pipe or a socket: the only kinds whose reader
/// can go away while the program runs.
bool standardOutputCanLoseItsReader();

/// Ends the program because nobody reads its output any more: with the
/// terminal put back, and by SIGPIPE when that signal is not ignored, else
/// with the status of a failed run. A watcher whose report goes nowhere would
/// otherwise run on for ever.
[[noreturn]] void endBecauseOutputIsGone();
