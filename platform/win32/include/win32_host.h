// Host side of the Windows layer: the machine model and fault injection, for tests and tools.
//
// The machine
//   WINROOT names a host folder that stands for the system drive C:\. Windows paths are mapped onto
//   it component by component without regard to letter case; "C:\..." and "\..." lie under it,
//   relative paths (".\Rlog.txt") under the process's current directory. Without WINROOT there is
//   no drive C:, hence no Windows directory: GetWindowsDirectoryA fails with ERROR_PATH_NOT_FOUND.
//   Paths of 260 characters or more are refused with ERROR_FILENAME_EXCED_RANGE.
//
// The device store
//   WINROOT\devices.tsv, one device a line, fields separated by TAB:
//       <device instance ID> TAB present|absent [TAB <hardware ID>]...
//   Lines starting with '#', empty lines and malformed lines (fewer than two fields, a state other
//   than present/absent, an empty instance ID) are not devices; a rewrite keeps them unchanged.
//   Empty hardware-ID fields are skipped; a device without any has no hardware-ID property.
//
// Fault injection
//   A named call can be made to fail with a given last-error value: after `skip` calls that pass,
//   the next `count` calls fail (count < 0: all of them). Names are the published call names:
//     AfxWinInit, GetWindowsDirectoryA, GetSystemDirectoryA, GetFileAttributesA, SetFileAttributesA,
//     DeleteFileA, FindFirstFileA (also CFileFind::FindFile), FindNextFileA (also
//     CFileFind::FindNextFile: the entry moved to stays valid, the search ends), LocalAlloc,
//     SetupOpenInfFileA, SetupFindFirstLineA, SetupFindNextLine, SetupGetStringFieldA,
//     SetupDiGetClassDevsA, SetupDiEnumDeviceInfo, SetupDiGetDeviceRegistryPropertyA,
//     SetupDiCallClassInstaller, and "ofstream::open" (the output file stream cannot be opened).
//   The environment variable WIN32_FAULTS, read when the layer is first used, sets faults for a
//   whole process (for tests that run a program):
//       WIN32_FAULTS="AfxWinInit=8,LocalAlloc=8:1,SetupDiEnumDeviceInfo=0x1f:2:1"
//   i.e. Name=Error[:skip[:count]], numbers in decimal or 0x hex, entries separated by commas.
//   Malformed entries are ignored.
#pragma once

#include <string>

#include "windows.h"

namespace win32host {

void InjectFault(const std::string& call, DWORD lastError, int skip = 0, int count = -1);
void ClearFault(const std::string& call);
void ResetFaults();  // removes every fault, including those from WIN32_FAULTS
// Number of times the call has been made since its fault was injected or the faults were reset
// (counted only for calls that have a fault set).
int FaultCallCount(const std::string& call);

// Parses a WIN32_FAULTS value and adds its faults; returns false if any entry was malformed.
bool InjectFaultList(const std::string& list);

// Removes every fault when it goes out of scope, so a test cannot leak faults into the next.
class FaultScope {
public:
    FaultScope() = default;
    ~FaultScope() { ResetFaults(); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

// Maps a Windows path to the host path it stands for. Returns false (reason in *error) when the
// path is refused or a folder on the way is missing; a missing last component is not an error
// (the host path then names where it would be created) and *exists tells which case it is.
bool MapPath(const char* windowsPath, std::string* hostPath, bool* exists, DWORD* error);

// The host file of the device store, or "" when WINROOT is not set.
std::string DeviceStorePath();

}  // namespace win32host
