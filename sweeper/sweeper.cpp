// Main flow of the removal tool and discovery of the candidate INFs.
//
// Order of work: class-library initialisation, the Windows directory, the scan of its inf folder,
// package analysis and file removal per candidate, device removal. Only an unreadable Windows
// directory ends the run early; every other failure is logged where it happens and the run goes on.
#include "sweeper.h"

#include <mbstring.h>

static BOOL SameText(const CString& a, LPCSTR b)
{
    return _mbscmp(reinterpret_cast<const unsigned char*>(static_cast<LPCSTR>(a)),
                   reinterpret_cast<const unsigned char*>(b)) == 0;
}

void ScanInfDirectory(CString directory, CandidateList& candidates)
{
    if (!SameText(directory.Right(1), "\\"))
        directory += "\\";
    directory += "*.*";

    CFileFind finder;
    BOOL more = finder.FindFile(directory);
    while (more) {
        more = finder.FindNextFile();
        CString name = finder.GetFileName();

        // Installed package INFs are named oem<n>.inf by the system; the test is exact on purpose.
        if (!SameText(name.Left(3), "oem") || !SameText(name.Right(3), "inf"))
            continue;

        CString path = finder.GetFilePath();

        // A read-only INF cannot be deleted later; clear only that bit.
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            (void)SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));

        candidates.push_back(path);

        // The depth is bounded: a search pattern of 260 characters or more is refused.
        if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY) && !finder.IsDots())
            ScanInfDirectory(path, candidates);
    }
    finder.Close();
}

int SweeperMain()
{
    int exitCode = 0;

    if (!AfxWinInit(GetModuleHandleA(NULL), NULL, GetCommandLineA(), 0)) {
        crt::cout << "Fatal Error: MFC initialization failed" << std::endl;
        exitCode = 1;
    }

    char windowsDirectory[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        // A result of MAX_PATH or more is the size the folder name would need: the buffer holds
        // nothing usable, which is as fatal as no folder at all.
        DWORD error = (length == 0) ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
        Rlog << "GetWindowsDirectory error:" << error << std::endl;
        return 1;
    }

    CandidateList candidates;
    ScanInfDirectory(CString(windowsDirectory) + "\\inf", candidates);

    InfPackageInfo info;
    for (const CString& path : candidates) {
        ResetInfPackageInfo(info);
        (void)AnalyzeInf(path, info);
        if (info.found) {
            Rlog << static_cast<LPCSTR>(path) << std::endl;
            RemoveDriverFiles(info);
        }
    }

    crt::cout << "Remove  begin...." << std::endl;
    RemoveDevices();
    crt::cout << "Remove  end..." << std::endl;

    return exitCode;
}
