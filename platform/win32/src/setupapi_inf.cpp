// Setup API INF functions over parsed INF documents. An INF handle is a pointer to an open
// document, known to the registry of open handles so that a stale or foreign handle is refused.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>

#include "inf_document.h"
#include "internal.h"
#include "setupapi.h"

using namespace win32host::detail;
using win32host::inf::Document;

namespace {

// Files larger than this are not INF files; refusing them keeps memory use bounded.
constexpr long long kLargestInf = 64ll * 1024 * 1024;

std::mutex g_infLock;
std::set<const Document*> g_openInfs;

const Document* Lookup(PVOID handle) {
    std::lock_guard<std::mutex> guard(g_infLock);
    auto* doc = static_cast<const Document*>(handle);
    return g_openInfs.count(doc) != 0 ? doc : nullptr;
}

// The line a context names, or NULL with last error set.
const win32host::inf::Line* LineAt(const INFCONTEXT* context) {
    if (context == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const Document* doc = Lookup(context->CurrentInf);
    if (doc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (context->Section >= doc->Sections().size() ||
        context->Line >= doc->Sections()[context->Section].lines.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &doc->Sections()[context->Section].lines[context->Line];
}

bool HasFolder(const char* name) {
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') return true;
    return false;
}

std::map<std::string, std::string> DirectoryIds(const std::string& infFolder) {
    std::map<std::string, std::string> ids;
    const std::string windir = WindowsDirectory();
    if (!windir.empty()) {
        ids["10"] = windir;
        ids["11"] = windir + "\\system32";
        ids["12"] = windir + "\\system32\\drivers";
        ids["17"] = windir + "\\inf";
        ids["24"] = "C:\\";
    }
    ids["1"] = infFolder;
    ids["01"] = infFolder;
    return ids;
}

bool SignatureIsWin4(const Document& doc) {
    const long version = doc.FindSection("Version");
    if (version < 0) return false;
    for (const auto& line : doc.Sections()[static_cast<size_t>(version)].lines) {
        if (!line.hasKey || !EqualsNoCase(doc.Resolve(line.key), "Signature")) continue;
        if (line.fields.empty()) return false;
        const std::string sig = doc.Resolve(line.fields[0]);
        return EqualsNoCase(sig, "$Windows NT$") || EqualsNoCase(sig, "$Chicago$") || EqualsNoCase(sig, "$Windows 95$");
    }
    return false;
}

std::string VersionClass(const Document& doc) {
    const long version = doc.FindSection("Version");
    if (version < 0) return std::string();
    for (const auto& line : doc.Sections()[static_cast<size_t>(version)].lines)
        if (line.hasKey && EqualsNoCase(doc.Resolve(line.key), "Class") && !line.fields.empty())
            return doc.Resolve(line.fields[0]);
    return std::string();
}

}  // namespace

HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
    if (ErrorLine != NULL) *ErrorLine = 0;
    if (FaultFires("SetupOpenInfFileA")) return INVALID_HANDLE_VALUE;
    if (FileName == NULL || (InfStyle & (INF_STYLE_OLDNT | INF_STYLE_WIN4)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    // A bare name is looked for in the Windows INF folder first.
    std::string windowsPath = FileName;
    if (!HasFolder(FileName) && !WindowsDirectory().empty()) {
        MappedPath inInfFolder;
        DWORD ignored = ERROR_SUCCESS;
        const std::string candidate = WindowsDirectory() + "\\inf\\" + FileName;
        if (Map(candidate.c_str(), false, &inInfFolder, &ignored) && inInfFolder.exists) windowsPath = candidate;
    }

    MappedPath mapped;
    DWORD error = ERROR_SUCCESS;
    if (!Map(windowsPath.c_str(), false, &mapped, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (!mapped.exists || stat(mapped.host.c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (st.st_size > kLargestInf) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    std::ifstream in(mapped.host, std::ios::binary);
    if (!in) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        SetLastError(ERROR_READ_FAULT);
        return INVALID_HANDLE_VALUE;
    }

    auto doc = std::make_unique<Document>();
    unsigned line = 0;
    const DWORD parsed = doc->Parse(win32host::inf::DecodeText(bytes), &line);
    if (parsed != ERROR_SUCCESS) {
        if (ErrorLine != NULL) *ErrorLine = line;
        SetLastError(parsed);
        return INVALID_HANDLE_VALUE;
    }
    const std::string folder = windowsPath.substr(0, windowsPath.find_last_of("\\/") == std::string::npos
                                                          ? 0
                                                          : windowsPath.find_last_of("\\/"));
    doc->SetDirectoryIds(DirectoryIds(folder));
    if ((InfStyle & INF_STYLE_OLDNT) == 0 && !SignatureIsWin4(*doc)) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return INVALID_HANDLE_VALUE;
    }
    if (InfClass != NULL && !EqualsNoCase(VersionClass(*doc), InfClass)) {
        SetLastError(ERROR_CLASS_MISMATCH);
        return INVALID_HANDLE_VALUE;
    }

    std::lock_guard<std::mutex> guard(g_infLock);
    g_openInfs.insert(doc.get());
    SetLastError(NO_ERROR);
    return doc.release();
}

void WINAPI SetupCloseInfFile(HINF InfHandle) {
    std::lock_guard<std::mutex> guard(g_infLock);
    auto* doc = static_cast<Document*>(InfHandle);
    if (g_openInfs.erase(doc) != 0) delete doc;
}

BOOL WINAPI SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context) {
    if (FaultFires("SetupFindFirstLineA")) return FALSE;
    const Document* doc = Lookup(InfHandle);
    if (doc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Section == NULL || Context == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const long s = doc->FindSection(Section);
    if (s >= 0) {
        const auto& lines = doc->Sections()[static_cast<size_t>(s)].lines;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (Key != NULL && !(lines[i].hasKey && EqualsNoCase(doc->Resolve(lines[i].key), Key))) continue;
            Context->Inf = InfHandle;
            Context->CurrentInf = InfHandle;
            Context->Section = static_cast<UINT>(s);
            Context->Line = static_cast<UINT>(i);
            SetLastError(NO_ERROR);
            return TRUE;
        }
    }
    SetLastError(ERROR_LINE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
    if (FaultFires("SetupFindNextLine")) return FALSE;
    if (ContextOut == NULL || LineAt(ContextIn) == nullptr) {
        if (ContextOut == NULL) SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Document* doc = Lookup(ContextIn->CurrentInf);
    if (ContextIn->Line + 1 >= doc->Sections()[ContextIn->Section].lines.size()) {
        SetLastError(ERROR_LINE_NOT_FOUND);
        return FALSE;
    }
    const INFCONTEXT next = {ContextIn->Inf, ContextIn->CurrentInf, ContextIn->Section, ContextIn->Line + 1};
    *ContextOut = next;
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupGetStringFieldA(PINFCONTEXT Context, DWORD FieldIndex, PSTR ReturnBuffer,
                                 DWORD ReturnBufferSize, PDWORD RequiredSize) {
    if (FaultFires("SetupGetStringFieldA")) return FALSE;
    const win32host::inf::Line* line = LineAt(Context);
    if (line == nullptr) return FALSE;
    const Document* doc = Lookup(Context->CurrentInf);
    const win32host::inf::Value* value = nullptr;
    if (FieldIndex == 0) {
        if (line->hasKey) value = &line->key;
    } else if (FieldIndex <= line->fields.size()) {
        value = &line->fields[FieldIndex - 1];
    }
    if (value == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string text = doc->Resolve(*value);
    const DWORD required = static_cast<DWORD>(text.size() + 1);
    if (RequiredSize != NULL) *RequiredSize = required;
    if (ReturnBuffer != NULL) {
        if (ReturnBufferSize < required) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(ReturnBuffer, text.c_str(), required);
    }
    SetLastError(NO_ERROR);
    return TRUE;
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context) {
    const win32host::inf::Line* line = LineAt(Context);
    if (line == nullptr) return 0;
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(line->fields.size());
}

LONG WINAPI SetupGetLineCountA(HINF InfHandle, PCSTR Section) {
    const Document* doc = Lookup(InfHandle);
    if (doc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    const long s = Section == NULL ? -1 : doc->FindSection(Section);
    if (s < 0) {
        SetLastError(ERROR_SECTION_NOT_FOUND);
        return -1;
    }
    SetLastError(NO_ERROR);
    return static_cast<LONG>(doc->Sections()[static_cast<size_t>(s)].lines.size());
}
