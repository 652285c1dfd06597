// The one place that decides which system we are built for. Everything in
// app/ and watch/ includes this header and is written against the Win32 names
// it provides: the real ones on Windows, our own emulation on Linux.
#pragma once

#ifdef _WIN32
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <conio.h>
#  include "windows/platform_facts.h"
#else
#  include "linux/win32.h"
#  include "linux/platform_facts.h"
#endif

#include <string>

/// Growable wide text held by value (paths, arguments).
using WString = std::basic_string<WCHAR>;

/// Whether a keystroke can ever reach _kbhit in this run. On Linux not
/// without a controlling terminal (a service, cron, setsid); on Windows
/// always, as the loop has always taken it to be.
bool keystrokeCanArrive();

#include "console.h"
