// Shared pieces of the layer's implementation: last error, fault checks, path mapping.
#pragma once

#include <string>
#include <vector>

#include "windows.h"

namespace win32host::detail {

// Returns true, with the fault's last-error value set, when an injected fault fires for the call.
bool FaultFires(const char* call);

// Host folder standing for C:\, or "" when WINROOT is not set.
std::string WinRoot();

// Letter-case folding used for names (ASCII letters only) and the NTFS listing order.
char UpperChar(char c);
bool EqualsNoCase(const std::string& a, const std::string& b);
bool NtfsNameLess(const std::string& a, const std::string& b);

struct MappedPath {
    std::string host;          // host path of the entry (or where it would be)
    std::string windows;       // normalised Windows path, with the entries' own letter case
    bool exists = false;
    bool isRoot = false;       // the path names C:\ itself
};

// Maps a Windows path. On failure returns false with *error set (ERROR_PATH_NOT_FOUND for a missing
// folder on the way or no WINROOT, ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE, ERROR_INVALID_PARAMETER).
// allowWildcards lets the last component carry * and ?; it is then not looked up.
bool Map(const char* path, bool allowWildcards, MappedPath* out, DWORD* error);

// Entries of a host folder (names only, "." and ".." excluded), in NTFS order.
bool ListHostFolder(const std::string& hostDir, std::vector<std::string>* names);

// Finds a name in a host folder without regard to letter case; an exact match wins, otherwise the
// first in NTFS order. Returns false when there is none.
bool FindNoCase(const std::string& hostDir, const std::string& name, std::string* actual);

// Win32 error for a host errno value.
DWORD ErrorFromErrno(int err);

// Windows directory ("C:\WINDOWS" in the folder's letter case), or "" when there is none.
std::string WindowsDirectory();

}  // namespace win32host::detail
