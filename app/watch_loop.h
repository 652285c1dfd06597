// The program's main loop: watch until a key is pressed.
#pragma once

#include "app/command_line.h"

/// Watches options.targetPath (and its sub-directories when options.recursive)
/// with one DirectoryWatcher, sleeping in alertable waits of 200 ms so that
/// change reports are printed on this thread, and looking at the keyboard after
/// every wake-up. Returns the exit status:
///   0  a key was waiting at a keyboard check (also before the first wait,
///      even when the directory could not be opened);
///  -1  the watcher did not become active ("Failed." printed), the wait
///      failed (the wait-failure line printed), or no request is outstanding
///      (its refusal printed) while no key can ever arrive.
/// The watcher is released before returning, whichever way the loop ended.
int runWatchLoop(const CommandLineOptions& options);
