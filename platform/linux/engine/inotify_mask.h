// Windows' change filter: the inotify mask it needs, and which changes pass it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

/// The inotify mask a directory watch needs for a Windows change filter. The
/// name events are always included: a recursive watch needs them to follow
/// its own tree even when the caller does not want them reported.
uint32_t inotifyMaskFor(DWORD notifyFilter);

/// Whether a change of this action on a file or directory passes the filter;
/// for a modification, of its content or only of its attributes.
bool filterAccepts(DWORD notifyFilter, DWORD action, bool isDirectory, bool content);
