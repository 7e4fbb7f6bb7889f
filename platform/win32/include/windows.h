// Win32 base types, error codes and the kernel/file services the removal tool calls.
//
// Our own definitions of the published names, for a 32-bit Windows program hosted on a POSIX machine.
// Windows paths ("C:\WINDOWS\inf\oem7.inf") are mapped onto a host folder named by the WINROOT
// environment variable; see win32_host.h for the machine model and for fault injection.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Base types. DWORD, LONG and UINT are 32 bits as on Windows; pointer-sized types follow the host.
// ---------------------------------------------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef char TCHAR;
typedef std::intptr_t INT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t UINT_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* PBOOL;
typedef BYTE* PBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef UINT* PUINT;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;

typedef void* HANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef HANDLE HLOCAL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WINAPI
#define CALLBACK
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

// ---------------------------------------------------------------------------------------------
// Error codes (GetLastError values), published values.
// ---------------------------------------------------------------------------------------------
#define NO_ERROR 0L
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_BAD_NETPATH 53L
#define ERROR_FILE_EXISTS 80L
#define ERROR_DISK_FULL 112L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_INVALID_USER_BUFFER 1784L

// ---------------------------------------------------------------------------------------------
// File attributes.
// ---------------------------------------------------------------------------------------------
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100

// ---------------------------------------------------------------------------------------------
// Local memory.
// ---------------------------------------------------------------------------------------------
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// ---------------------------------------------------------------------------------------------
// Directory search records.
// ---------------------------------------------------------------------------------------------
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// ---------------------------------------------------------------------------------------------
// Calls. Results and last-error values are those the published calls give; where the host
// machine model decides a value, the comment says which.
// ---------------------------------------------------------------------------------------------

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

// "C:\<windows folder>" when WINROOT is set and a folder named WINDOWS (any letter case) exists in
// it, with the folder's own letter case. Returns the number of characters copied (NUL excluded),
// the size needed (NUL included) when uSize is too small, or 0 with ERROR_PATH_NOT_FOUND when
// there is no Windows directory.
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
// The Windows directory followed by "\system32"; same results as GetWindowsDirectoryA.
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

// Files report FILE_ATTRIBUTE_ARCHIVE, directories FILE_ATTRIBUTE_DIRECTORY, both plus
// FILE_ATTRIBUTE_READONLY when the host entry lacks the owner's write permission.
// Failure: INVALID_FILE_ATTRIBUTES with ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND /
// ERROR_INVALID_NAME / ERROR_FILENAME_EXCED_RANGE (path of 260 characters or more).
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
// Only FILE_ATTRIBUTE_READONLY has an effect (owner write permission); other bits are accepted.
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
// ERROR_FILE_NOT_FOUND for a missing file, ERROR_PATH_NOT_FOUND for a missing folder on the way,
// ERROR_ACCESS_DENIED for a read-only file or a directory.
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);

// Directory search in NTFS order (names compared upper-cased, ordinal; "." and ".." first in a
// subfolder). The listing is a snapshot taken by FindFirstFileA. Wildcards * and ? in the last
// component, letter case ignored; "*.*" matches every name.
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);  // ERROR_NO_MORE_FILES at end
BOOL WINAPI FindClose(HANDLE hFindFile);

// Fixed memory blocks; LMEM_ZEROINIT fills them with zeros. NULL with ERROR_NOT_ENOUGH_MEMORY on failure.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);  // NULL on success

int WINAPI lstrlenA(LPCSTR lpString);  // 0 for NULL

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);  // NULL name: the program's module
LPSTR WINAPI GetCommandLineA(void);  // the process's arguments joined by blanks, quoted where needed
