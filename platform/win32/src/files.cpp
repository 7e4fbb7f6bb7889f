// Windows and system directory, file attributes, deletion and directory search.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "internal.h"

using namespace win32host::detail;

namespace {

// Copies text to a caller's buffer with the published length contract: characters copied without
// the NUL, or the size needed with the NUL when the buffer is too small.
UINT CopyOut(const std::string& text, LPSTR buffer, UINT size) {
    const UINT needed = static_cast<UINT>(text.size() + 1);
    if (buffer == NULL || size < needed) return needed;
    std::memcpy(buffer, text.c_str(), needed);
    return needed - 1;
}

std::string SystemDirectory() {
    const std::string windir = WindowsDirectory();
    if (windir.empty()) return windir;
    std::string actual = "system32";
    std::string found;
    if (FindNoCase(WinRoot() + "/" + windir.substr(3), "system32", &found)) actual = found;
    return windir + "\\" + actual;
}

DWORD AttributesOf(const struct stat& st) {
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// Looks up an existing entry; on failure sets last error and returns false.
bool StatExisting(LPCSTR path, MappedPath* mapped, struct stat* st) {
    DWORD error = ERROR_SUCCESS;
    if (!Map(path, false, mapped, &error)) {
        SetLastError(error);
        return false;
    }
    if (!mapped->exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (stat(mapped->host.c_str(), st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

// ---- directory search ----------------------------------------------------------------------

struct FindState {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
};

std::mutex g_findLock;
std::set<FindState*> g_searches;

// True when the rest of a mask matches the end of a name: only '*', or a '.' followed by nothing
// but wildcards and dots (so "*.*" and "oem*.*" also match names without a dot).
bool MatchesEmpty(const char* mask) {
    while (*mask == '*') ++mask;
    if (*mask == '\0') return true;
    if (*mask != '.') return false;
    for (++mask; *mask != '\0'; ++mask)
        if (*mask != '*' && *mask != '?' && *mask != '.') return false;
    return true;
}

// Wildcard match as FindFirstFileA does it: letter case ignored, '*' any run, '?' one character.
// On a mismatch only the last '*' is retried one character further, which keeps the work at
// mask length times name length whatever the mask.
bool MaskMatch(const char* mask, const char* name) {
    const char* starMask = nullptr;
    const char* starName = nullptr;
    while (true) {
        if (*mask == '*') {
            while (*mask == '*') ++mask;
            starMask = mask;
            starName = name;
            continue;
        }
        if (*name == '\0') {
            if (MatchesEmpty(mask)) return true;
        } else if (*mask != '\0' && (*mask == '?' || UpperChar(*mask) == UpperChar(*name))) {
            ++mask;
            ++name;
            continue;
        }
        if (starMask == nullptr || *starName == '\0') return false;
        mask = starMask;
        name = ++starName;
    }
}

void FillEntry(const std::string& name, const struct stat& st, WIN32_FIND_DATAA* data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = AttributesOf(st);
    if (!S_ISDIR(st.st_mode)) {
        const unsigned long long size = static_cast<unsigned long long>(st.st_size);
        data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    std::memcpy(data->cFileName, name.c_str(), name.size() + 1);
}

}  // namespace

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (FaultFires("GetWindowsDirectoryA")) return 0;
    const std::string windir = WindowsDirectory();
    if (windir.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return CopyOut(windir, lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (FaultFires("GetSystemDirectoryA")) return 0;
    const std::string sysdir = SystemDirectory();
    if (sysdir.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return CopyOut(sysdir, lpBuffer, uSize);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (FaultFires("GetFileAttributesA")) return INVALID_FILE_ATTRIBUTES;
    MappedPath mapped;
    struct stat st;
    if (!StatExisting(lpFileName, &mapped, &st)) return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(st);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    if (FaultFires("SetFileAttributesA")) return FALSE;
    if (dwFileAttributes == INVALID_FILE_ATTRIBUTES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MappedPath mapped;
    struct stat st;
    if (!StatExisting(lpFileName, &mapped, &st)) return FALSE;
    mode_t mode = st.st_mode & 07777;
    if (dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    else
        mode |= S_IWUSR;
    if (chmod(mapped.host.c_str(), mode) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (FaultFires("DeleteFileA")) return FALSE;
    MappedPath mapped;
    struct stat st;
    if (!StatExisting(lpFileName, &mapped, &st)) return FALSE;
    // Windows refuses to delete a directory or a read-only file; the host (in particular as root)
    // would not, so both are checked here.
    if (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(mapped.host.c_str()) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (FaultFires("FindFirstFileA")) return INVALID_HANDLE_VALUE;
    if (lpFileName == NULL || lpFindFileData == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (std::strlen(lpFileName) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    // Split into the folder and the mask (the last component).
    const std::string pattern = lpFileName;
    size_t split = pattern.find_last_of("\\/");
    if (split == std::string::npos && pattern.size() >= 2 && pattern[1] == ':') split = 1;
    const std::string folder = split == std::string::npos ? "." : pattern.substr(0, split + 1);
    const std::string mask = split == std::string::npos ? pattern : pattern.substr(split + 1);
    if (mask.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (mask.find_first_of("<>:\"|\\/") != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    MappedPath dir;
    DWORD error = ERROR_SUCCESS;
    if (!Map(folder.c_str(), false, &dir, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (!dir.exists || stat(dir.host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    auto state = std::make_unique<FindState>();
    std::vector<std::string> names;
    if (!dir.isRoot) names = {".", ".."};
    std::vector<std::string> listed;
    if (!ListHostFolder(dir.host, &listed)) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    names.insert(names.end(), listed.begin(), listed.end());
    for (const std::string& name : names) {
        if (name.size() >= MAX_PATH) continue;
        if (!MaskMatch(mask.c_str(), name.c_str())) continue;
        struct stat entry;
        if (stat((dir.host + "/" + name).c_str(), &entry) != 0) continue;  // dangling link
        WIN32_FIND_DATAA data;
        FillEntry(name, entry, &data);
        state->entries.push_back(data);
    }
    if (state->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *lpFindFileData = state->entries[0];
    state->next = 1;
    std::lock_guard<std::mutex> guard(g_findLock);
    g_searches.insert(state.get());
    return state.release();
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    if (FaultFires("FindNextFileA")) return FALSE;
    std::lock_guard<std::mutex> guard(g_findLock);
    auto* state = static_cast<FindState*>(hFindFile);
    if (g_searches.count(state) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpFindFileData == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (state->next >= state->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *lpFindFileData = state->entries[state->next++];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    std::lock_guard<std::mutex> guard(g_findLock);
    auto* state = static_cast<FindState*>(hFindFile);
    if (g_searches.erase(state) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete state;
    return TRUE;
}
