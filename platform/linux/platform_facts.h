// What differs between the systems in the program's own texts: Linux side.
#pragma once

/// Wide literal of the platform's WCHAR type. A plain L"" would be UTF-32 here.
#define W(text) u##text

/// Appended to a watched path that does not already end in it.
constexpr WCHAR kPathSeparator = u'/';

/// Watched when no path is given: the whole file system.
constexpr const WCHAR* kDefaultWatchPath = u"/";

/// The three example lines of the usage block, each a complete line.
constexpr const WCHAR* kUsageExamples[3] = {
    u"    pathwarden /srv/test\n",
    u"    pathwarden / NoRecurse\n",
    u"    pathwarden \"/home/me/My Files\"\n",
};
