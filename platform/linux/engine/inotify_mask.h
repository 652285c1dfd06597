// Translation between Windows' change filter and actions and inotify's masks.
#pragma once

#include <cstdint>

#include "platform/platform.h"

/// The inotify mask a directory watch needs for a Windows change filter. The
/// name events are always included: a recursive watch needs them to follow
/// its own tree even when the caller does not want them reported.
uint32_t inotifyMaskFor(DWORD notifyFilter);

/// The Windows action for one inotify event on an entry, or 0 when the event
/// is not reported as a change of its own (renames are paired elsewhere).
DWORD actionFor(uint32_t mask);

/// Whether a change of this action on a file or directory passes the filter.
bool filterAccepts(DWORD notifyFilter, DWORD action, bool isDirectory, uint32_t mask);
