// Driver package analysis and file removal.
//
// A candidate INF belongs to the product when the first hardware ID of a line in the models section
// of its first manufacturer carries "VID_3759". For such a package the driver file it names first
// under [SourceDisksFiles] is deleted from the system drivers folder, then the INF and its PNF.
// Runs on the tool's only thread; every failure is written to the log and the run goes on.
#include "sweeper.h"

#include <mbstring.h>

static const char VendorText[] = "VID_3759";

static const unsigned char* Bytes(LPCSTR text)
{
    return reinterpret_cast<const unsigned char*>(text);
}

void ResetInfPackageInfo(InfPackageInfo& info)
{
    info.infHandle = INVALID_HANDLE_VALUE;
    info.found = FALSE;
    info.googleStyle = FALSE;
    info.lineContext = INFCONTEXT{};
    info.infPath.Empty();
}

DWORD GetInfStringField(PINFCONTEXT context, DWORD fieldIndex, CString& text)
{
    DWORD required = 0;
    if (!SetupGetStringFieldA(context, fieldIndex, NULL, 0, &required))
        return GetLastError();

    DWORD error = 0;
    // GetBuffer gives room for the characters plus a NUL, so a size of 0 still leaves one byte.
    LPSTR buffer = text.GetBuffer(static_cast<int>(required));
    if (!SetupGetStringFieldA(context, fieldIndex, buffer, required, NULL)) {
        error = GetLastError();
        buffer[0] = '\0';
    }
    text.ReleaseBuffer();
    return error;
}

static BOOL CarriesVendorId(const CString& hardwareId)
{
    return _mbsstr(Bytes(hardwareId), Bytes(VendorText)) != NULL;
}

// Looks for the product's vendor ID in the models section of the INF's first manufacturer. On a
// match, context is at the matching line. "google" packages name their models section with a
// target-OS decoration (%Mfg% = Google, NTx86, NTamd64 leads to [Google.NTx86]); any other
// manufacturer's section is taken undecorated, whatever decorations its line carries.
static BOOL FindProductModelsLine(HINF inf, InfPackageInfo& info, INFCONTEXT& context)
{
    CString models;
    if (!SetupFindFirstLineA(inf, "Manufacturer", NULL, &context) || GetInfStringField(&context, 1, models) != 0)
        return FALSE;
    if (_mbsicmp(Bytes(models), Bytes("google")) == 0) {
        CString decoration;
        if (GetInfStringField(&context, 2, decoration) != 0)
            return FALSE;
        models = models + "." + decoration;
        info.googleStyle = TRUE;
    }

    CString hardwareId;
    if (!SetupFindFirstLineA(inf, models, NULL, &context) || GetInfStringField(&context, 2, hardwareId) != 0)
        return FALSE;
    if (CarriesVendorId(hardwareId))
        return TRUE;

    // Field 2 is the line's first hardware ID; further IDs on the line are not looked at. A line
    // without a readable field 2 is passed over.
    INFCONTEXT next;
    while (SetupFindNextLine(&context, &next)) {
        context = next;
        if (GetInfStringField(&context, 2, hardwareId) == 0 && CarriesVendorId(hardwareId))
            return TRUE;
    }
    return FALSE;
}

BOOL AnalyzeInf(LPCSTR path, InfPackageInfo& info)
{
    HINF inf = SetupOpenInfFileA(path, NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return FALSE;

    INFCONTEXT context = {};
    if (!FindProductModelsLine(inf, info, context)) {
        SetupCloseInfFile(inf);
        return FALSE;
    }

    // The INF stays open for RemoveDriverFiles.
    info.infHandle = inf;
    info.lineContext = context;
    info.infPath = path;
    info.found = TRUE;
    return TRUE;
}

enum FilePresence { FileAbsent, FilePresent, FileUnknown };

// Existence test through the file finder. A search that fails for another reason than a missing
// file or folder (a path of 260 characters or more, a refused name) leaves the question open; the
// reason is then in GetLastError.
static FilePresence FindFilePresence(LPCSTR path)
{
    CFileFind finder;
    BOOL found = finder.FindFile(path);
    DWORD error = GetLastError();
    finder.Close();
    if (found)
        return FilePresent;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
        return FileAbsent;
    SetLastError(error);
    return FileUnknown;
}

// Deletes path if it is there. A file that is there (or may be) but is not deleted gets one log
// line: prefix, the path, ":" and the code.
static void DeletePackageFile(LPCSTR prefix, LPCSTR path)
{
    switch (FindFilePresence(path)) {
    case FileAbsent:
        return;
    case FilePresent:
        if (DeleteFileA(path))
            return;
        break;
    case FileUnknown:
        break;
    }
    DWORD error = GetLastError();
    Rlog << prefix << path << ":" << error << std::endl;
}

// A driver name from the INF is a plain file name inside the drivers folder; anything that would
// lead elsewhere (a folder part, a drive, wildcards, "." or "..") is refused.
static BOOL IsPlainFileName(const CString& name)
{
    if (name.IsEmpty() || name == "." || name == "..")
        return FALSE;
    for (int i = 0; i < name.GetLength(); i++) {
        TCHAR ch = name[i];
        if (ch == '\\' || ch == '/' || ch == ':' || ch == '*' || ch == '?')
            return FALSE;
    }
    return TRUE;
}

static void CloseInf(InfPackageInfo& info)
{
    SetupCloseInfFile(info.infHandle);
    info.infHandle = INVALID_HANDLE_VALUE;
}

void RemoveDriverFiles(InfPackageInfo& info)
{
    char systemDirectory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(systemDirectory, MAX_PATH);
    DWORD systemDirectoryError = 0;
    if (length == 0 || length >= MAX_PATH) {
        systemDirectoryError = (length == 0) ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
        systemDirectory[0] = '\0';
    }

    if (!info.googleStyle) {
        if (!SetupFindFirstLineA(info.infHandle, "SourceDisksFiles", NULL, &info.lineContext)) {
            Rlog << "analyze inf fail:Can't find Sourcefile" << std::endl;
            CloseInf(info);
            return;
        }
        CString driverName;
        if (GetInfStringField(&info.lineContext, 0, driverName) != 0) {
            Rlog << "analyze inf fail:Can't find driver name" << std::endl;
            CloseInf(info);
            return;
        }
        Rlog << "driver " << static_cast<LPCSTR>(driverName) << std::endl;

        CString driverPath = CString(systemDirectory) + "\\drivers\\" + driverName;
        if (systemDirectoryError != 0) {
            // Without the system folder the path would point at the root's \drivers; touch nothing.
            Rlog << "Delete file error " << static_cast<LPCSTR>(driverPath) << ":" << systemDirectoryError << std::endl;
        } else if (!IsPlainFileName(driverName)) {
            Rlog << "Delete file error " << static_cast<LPCSTR>(driverPath) << ":"
                 << static_cast<DWORD>(ERROR_INVALID_NAME) << std::endl;
        } else {
            DeletePackageFile("Delete file error ", driverPath);
        }
    }

    // The precompiled INF lies beside the INF, its name ending in PNF in place of the last three
    // characters. Built from the whole path, so a long path is never cut short.
    CString pnfPath = info.infPath.Left(info.infPath.GetLength() - 3) + "PNF";

    // The INF is closed before either file is deleted.
    CloseInf(info);

    DeletePackageFile("Delete file error", info.infPath);
    DeletePackageFile("Delete file error", pnfPath);
}
