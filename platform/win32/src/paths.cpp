// Mapping of Windows paths onto the host folder named by WINROOT, component by component and
// without regard to letter case, and the NTFS listing order.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "win32_host.h"

namespace win32host::detail {

std::string WinRoot() {
    const char* root = std::getenv("WINROOT");
    if (root == nullptr || *root == '\0') return std::string();
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i])) return false;
    return true;
}

// NTFS keeps names ordered by their upper-cased form, compared ordinally. Names that differ only
// in letter case cannot both exist on Windows; on the host they can, and the raw bytes break the tie.
bool NtfsNameLess(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = static_cast<unsigned char>(UpperChar(a[i]));
        const unsigned char cb = static_cast<unsigned char>(UpperChar(b[i]));
        if (ca != cb) return ca < cb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

bool ListHostFolder(const std::string& hostDir, std::vector<std::string>* names) {
    DIR* dir = opendir(hostDir.c_str());
    if (dir == nullptr) return false;
    names->clear();
    while (struct dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names->push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names->begin(), names->end(), NtfsNameLess);
    return true;
}

bool FindNoCase(const std::string& hostDir, const std::string& name, std::string* actual) {
    DIR* dir = opendir(hostDir.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    std::string best;
    while (struct dirent* e = readdir(dir)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (entry == name) {
            best = entry;
            found = true;
            break;
        }
        if (EqualsNoCase(entry, name) && (!found || NtfsNameLess(entry, best))) {
            best = entry;
            found = true;
        }
    }
    closedir(dir);
    if (found) *actual = best;
    return found;
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOSPC: return ERROR_DISK_FULL;
        case EBUSY:
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        default: return ERROR_GEN_FAILURE;
    }
}

namespace {

bool IsHostDirectory(const std::string& hostPath) {
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

bool ValidComponent(const std::string& s, bool allowWildcards) {
    for (unsigned char c : s) {
        if (c < 0x20) return false;
        if (std::strchr("<>:\"|", c) != nullptr) return false;
        if (!allowWildcards && (c == '*' || c == '?')) return false;
    }
    return true;
}

}  // namespace

bool Map(const char* path, bool allowWildcards, MappedPath* out, DWORD* error) {
    *out = MappedPath();
    if (path == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    const size_t length = std::strlen(path);
    if (length >= MAX_PATH) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    if (length == 0) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    std::string p(path);
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        *error = ERROR_BAD_NETPATH;  // no network on this machine
        return false;
    }

    bool absolute = false;
    std::string rest = p;
    if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
        if (UpperChar(p[0]) != 'C') {
            *error = ERROR_PATH_NOT_FOUND;
            return false;
        }
        absolute = true;  // "C:x" is taken relative to the drive's root: the drive has no other current folder
        rest = p.substr(2);
    } else if (p[0] == '\\') {
        absolute = true;
    }

    std::string host;
    if (absolute) {
        host = WinRoot();
        if (host.empty()) {
            *error = ERROR_PATH_NOT_FOUND;  // no WINROOT: there is no drive C:
            return false;
        }
        out->windows = "C:";
    } else {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            *error = ErrorFromErrno(errno);
            return false;
        }
        host = cwd;
    }

    // Split and normalise: "." goes, ".." takes the previous component, trailing dots and blanks
    // of a component are dropped as Windows drops them.
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t sep = rest.find('\\', pos);
        if (sep == std::string::npos) sep = rest.size();
        std::string comp = rest.substr(pos, sep - pos);
        const bool last = sep == rest.size();
        pos = sep + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(comp);
            continue;
        }
        if (!(last && allowWildcards && HasWildcard(comp))) {
            while (!comp.empty() && (comp.back() == '.' || comp.back() == ' ')) comp.pop_back();
            if (comp.empty()) continue;
        }
        parts.push_back(comp);
    }

    if (parts.empty()) {
        out->host = host;
        out->exists = true;
        out->isRoot = absolute;
        if (absolute) out->windows += "\\";
        return true;
    }

    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& comp = parts[i];
        const bool last = i + 1 == parts.size();
        if (!ValidComponent(comp, last && allowWildcards)) {
            *error = ERROR_INVALID_NAME;
            return false;
        }
        if (comp == "..") {
            host += "/..";
            out->windows += out->windows.empty() ? ".." : "\\..";
            continue;
        }
        std::string actual;
        const bool wild = last && allowWildcards && HasWildcard(comp);
        const bool found = !wild && FindNoCase(host, comp, &actual);
        if (!found) {
            if (!last) {
                *error = ERROR_PATH_NOT_FOUND;
                return false;
            }
            actual = comp;
        }
        host += "/" + actual;
        out->windows += (out->windows.empty() ? "" : "\\") + actual;
        if (!last && !IsHostDirectory(host)) {
            *error = ERROR_PATH_NOT_FOUND;
            return false;
        }
        if (last) out->exists = found;
    }
    out->host = host;
    return true;
}

std::string WindowsDirectory() {
    const std::string root = WinRoot();
    if (root.empty()) return std::string();
    std::string actual;
    if (!FindNoCase(root, "WINDOWS", &actual) || !IsHostDirectory(root + "/" + actual)) return std::string();
    return "C:\\" + actual;
}

}  // namespace win32host::detail

namespace win32host {

bool MapPath(const char* windowsPath, std::string* hostPath, bool* exists, DWORD* error) {
    detail::MappedPath mapped;
    DWORD err = ERROR_SUCCESS;
    const bool ok = detail::Map(windowsPath, false, &mapped, &err);
    if (error) *error = ok ? ERROR_SUCCESS : err;
    if (ok && hostPath) *hostPath = mapped.host;
    if (exists) *exists = ok && mapped.exists;
    return ok;
}

std::string DeviceStorePath() {
    const std::string root = detail::WinRoot();
    return root.empty() ? std::string() : root + "/devices.tsv";
}

}  // namespace win32host
