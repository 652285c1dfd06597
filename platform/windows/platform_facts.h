// What differs between the systems in the program's own texts: Windows side.
#pragma once

/// Wide literal of the platform's WCHAR type.
#define W(text) L##text

/// Appended to a watched path that does not already end in it.
constexpr WCHAR kPathSeparator = L'\\';

/// Watched when no path is given.
constexpr const WCHAR* kDefaultWatchPath = L"C:\\";

/// The three example lines of the usage block, each a complete line.
constexpr const WCHAR* kUsageExamples[3] = {
    L"    Pathwarden.exe D:\\Test\n",
    L"    Pathwarden.exe C:\\ NoRecurse\n",
    L"    Pathwarden.exe \"C:\\Program Files\"\n",
};
