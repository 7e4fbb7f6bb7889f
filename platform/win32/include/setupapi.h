// Setup API: INF file reading and device installation, as the removal tool uses them.
//
// INF files are read as the Setup API reads them: ANSI or UTF-16LE (with byte-order mark; UTF-8
// with byte-order mark too); sections found without regard to letter case, same-name sections
// merged in file order; keys, comma-separated fields, double quotes (a doubled quote inside quotes
// is one quote), comments after ';', line continuation with a trailing '\', surrounding blanks
// trimmed; %strkey% replaced from [Strings.0409] or [Strings] (%% is one percent sign, an unknown
// key stays as written, %10% %11% %12% %17% give the Windows, system, drivers and INF folders).
//
// Devices come from the machine's device store (devices.tsv under WINROOT, see win32_host.h).
#pragma once

#include "windows.h"

// ---------------------------------------------------------------------------------------------
// Setup API error codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n), published values.
// ---------------------------------------------------------------------------------------------
#define APPLICATION_ERROR_MASK 0x20000000
#define ERROR_SEVERITY_ERROR 0xC0000000

#define ERROR_EXPECTED_SECTION_NAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0)
#define ERROR_BAD_SECTION_NAME_LINE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 1)
#define ERROR_SECTION_NAME_TOO_LONG (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 2)
#define ERROR_GENERAL_SYNTAX (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 3)
#define ERROR_WRONG_INF_STYLE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x100)
#define ERROR_SECTION_NOT_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x101)
#define ERROR_LINE_NOT_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x102)
#define ERROR_NO_ASSOCIATED_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x200)
#define ERROR_CLASS_MISMATCH (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x201)
#define ERROR_INVALID_REG_PROPERTY (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209)
#define ERROR_NO_SUCH_DEVINST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)
#define ERROR_DI_DO_DEFAULT (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20E)
#define ERROR_NO_DEVICE_SELECTED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x211)

// ---------------------------------------------------------------------------------------------
// INF functions.
// ---------------------------------------------------------------------------------------------
typedef PVOID HINF;

#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002
#define INF_STYLE_CACHE_ENABLE 0x00000010
#define INF_STYLE_CACHE_DISABLE 0x00000020
#define INF_STYLE_CACHE_IGNORE 0x00000040

#define MAX_INF_STRING_LENGTH 4096
#define MAX_SECT_NAME_LEN 255

// A line position: the INF, the section and the line within the (merged) section.
typedef struct _INFCONTEXT {
    PVOID Inf;
    PVOID CurrentInf;
    UINT Section;
    UINT Line;
} INFCONTEXT, *PINFCONTEXT;

// INF_STYLE_WIN4 requires a [Version] Signature of "$Windows NT$", "$Chicago$" or "$Windows 95$"
// (any letter case), else ERROR_WRONG_INF_STYLE. A FileName without a folder is looked for in
// the Windows INF folder. Syntax errors give ERROR_EXPECTED_SECTION_NAME (text before the first
// section), ERROR_BAD_SECTION_NAME_LINE (no closing ']') or ERROR_SECTION_NAME_TOO_LONG, with the
// 1-based line number in *ErrorLine. Returns INVALID_HANDLE_VALUE on failure.
HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
void WINAPI SetupCloseInfFile(HINF InfHandle);

// FALSE with ERROR_LINE_NOT_FOUND when the section is absent or empty, or no line has the key.
BOOL WINAPI SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context);
// FALSE with ERROR_LINE_NOT_FOUND after the last line of the section. ContextIn may equal ContextOut.
BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut);
// Field 0 is the key (a line without '=' has none), fields 1.. the values. *RequiredSize receives
// the length plus one for the NUL whenever the field exists. A NULL ReturnBuffer only asks for the
// size and succeeds. Failures: ERROR_INVALID_PARAMETER (no such field), ERROR_INSUFFICIENT_BUFFER
// (buffer smaller than the required size; the buffer is left untouched). Success leaves NO_ERROR.
BOOL WINAPI SetupGetStringFieldA(PINFCONTEXT Context, DWORD FieldIndex, PSTR ReturnBuffer,
                                 DWORD ReturnBufferSize, PDWORD RequiredSize);
DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context);  // values on the line, key not counted
LONG WINAPI SetupGetLineCountA(HINF InfHandle, PCSTR Section);  // -1 when the section is absent

// ---------------------------------------------------------------------------------------------
// Device installation functions.
// ---------------------------------------------------------------------------------------------
typedef PVOID HDEVINFO;

typedef struct _GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

// The device record of a 32-bit program: 28 bytes. Reserved holds the device's place in its set.
typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    DWORD Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA keeps its 32-bit size");

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

#define REG_NONE 0
#define REG_SZ 1
#define REG_MULTI_SZ 7

typedef UINT DI_FUNCTION;
#define DIF_SELECTDEVICE 0x00000001
#define DIF_INSTALLDEVICE 0x00000002
#define DIF_ASSIGNRESOURCES 0x00000003
#define DIF_PROPERTIES 0x00000004
#define DIF_REMOVE 0x00000005

// A snapshot of the device store taken now; devices in the store's line order. DIGCF_ALLCLASSES
// gives every device, DIGCF_PRESENT only those marked present; Enumerator, when given, keeps the
// devices whose instance ID starts with it and a '\'. A store that does not exist gives an empty set.
// A ClassGuid without DIGCF_ALLCLASSES gives an empty set (the store records no classes).
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
// DeviceInfoData->cbSize must be sizeof(SP_DEVINFO_DATA) (ERROR_INVALID_USER_BUFFER otherwise);
// past the last device: FALSE with ERROR_NO_MORE_ITEMS.
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
// SPDRP_HARDWAREID gives the device's IDs as a REG_MULTI_SZ. FALSE with ERROR_INSUFFICIENT_BUFFER
// and *RequiredSize when the buffer is missing or small; ERROR_INVALID_DATA when the device has no
// such property (no hardware IDs, or any other property).
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType,
                                              PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
// DIF_REMOVE takes the device's line out of the store (new file, then rename) and leaves last
// error NO_ERROR. The set keeps its snapshot: indices do not shift and the removed device's
// properties stay readable. A device no longer in the store (for example removed by an earlier
// DIF_REMOVE) gives FALSE with ERROR_NO_SUCH_DEVINST; a read-only store gives ERROR_ACCESS_DENIED.
// Other functions: FALSE, ERROR_DI_DO_DEFAULT.
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
