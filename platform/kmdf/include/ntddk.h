// Kernel basics for drivers built on this layer: NT types, status codes, strings, events, interlocked
// operations, the system time, the registry helpers and the configuration record.
//
// Types keep the sizes a 32-bit Windows driver sees: ULONG and LONG are 32 bits, USHORT 16, UCHAR 8.
// WCHAR is a UTF-16 code unit (char16_t): write wide literals as u"..." (L"..." is 32 bits per unit on
// this host and does not convert). Everything declared here runs on the layer's virtual machine: time
// is the virtual clock, waits drive the deterministic scheduler, and misuse (a wait at DISPATCH_LEVEL,
// a failed ASSERT) is reported to the layer's verifier, which fails the running test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------------------
// Annotations used in driver sources; they carry no meaning here.
#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define DECLSPEC_NOINLINE
#define FORCEINLINE inline
#define _In_
#define _In_opt_
#define _In_z_
#define _In_reads_(x)
#define _In_reads_bytes_(x)
#define _In_reads_bytes_opt_(x)
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Out_writes_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_bytes_opt_(x)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_bytebuffer_(x)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_always_function_min_(x)
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _When_(c, a)
#define _Success_(x)
#define _Analysis_assume_(x)
#define _Post_satisfies_(x)
#define _Printf_format_string_
#define _Null_terminated_
#define _Field_size_bytes_(x)
#define __drv_aliasesMem
#define __drv_allocatesMem(x)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define PAGED_CODE() KmdfAssertPagedCode(__FILE__, __LINE__)

// ---------------------------------------------------------------------------------------------------
// Basic types.
#define VOID void
#define CONST const
typedef void* PVOID;
typedef const void* PCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef USHORT* PUSHORT;
typedef std::int32_t LONG;
typedef LONG* PLONG;
typedef std::uint32_t ULONG;
typedef ULONG* PULONG;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef std::int32_t INT;
typedef std::uint32_t UINT;
typedef std::int8_t INT8;
typedef std::uint8_t UINT8;
typedef std::int16_t INT16;
typedef std::uint16_t UINT16;
typedef std::int32_t INT32;
typedef std::uint32_t UINT32;
typedef std::int64_t INT64;
typedef std::uint64_t UINT64;
typedef std::uint8_t BYTE;
typedef BYTE* PBYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef DWORD* PDWORD;
typedef std::uintptr_t ULONG_PTR;
typedef std::intptr_t LONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef std::size_t SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* PCWCH;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef CHAR CCHAR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL nullptr
#endif

#define MAXUCHAR 0xFF
#define MAXUSHORT 0xFFFF
#define MAXULONG 0xFFFFFFFFUL
#define MAXLONG 0x7FFFFFFFL
#define MINLONG (-MAXLONG - 1)
#define MAXLONGLONG 0x7FFFFFFFFFFFFFFFLL
#define MAXULONG_PTR (~((ULONG_PTR)0))

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }

// Defines the named GUID once for every translation unit that includes the defining header.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// ---------------------------------------------------------------------------------------------------
// Status codes.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE ((NTSTATUS)0x00000104L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_DATA_OVERRUN ((NTSTATUS)0xC000003CL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_REQUEST_NOT_ACCEPTED ((NTSTATUS)0xC00000D0L)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5L)
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8L)
#define STATUS_UNEXPECTED_IO_ERROR ((NTSTATUS)0xC00000E9L)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3 ((NTSTATUS)0xC00000F1L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_WDF_REQUEST_ALREADY_PENDING ((NTSTATUS)0xC0200201L)
#define STATUS_WDF_REQUEST_INVALID_STATE ((NTSTATUS)0xC0200202L)
#define STATUS_WDF_PAUSED ((NTSTATUS)0xC0200203L)
#define STATUS_WDF_BUSY ((NTSTATUS)0xC0200204L)
#define STATUS_WDF_QUEUE_ALREADY_EXISTS ((NTSTATUS)0xC0200215L)

// ---------------------------------------------------------------------------------------------------
// Execution levels.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

KIRQL KeGetCurrentIrql();
// Raising and lowering are tracked per execution context; lowering below the level at which the
// context started is reported.
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);

// ---------------------------------------------------------------------------------------------------
// Strings.
typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes in use, without a terminating zero
  USHORT MaximumLength;  // bytes available in Buffer
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING, STRING, *PSTRING;

#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }
#define DECLARE_CONST_UNICODE_STRING(name, text) \
  const UNICODE_STRING name = {(USHORT)(sizeof(text) - sizeof(WCHAR)), (USHORT)sizeof(text), (PWSTR)(text)}
#define DECLARE_UNICODE_STRING_SIZE(name, size) \
  WCHAR name##_buffer[size];                     \
  UNICODE_STRING name = {0, (USHORT)((size) * sizeof(WCHAR)), name##_buffer}

#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);

// Formats into the counted string. Conversions: %ws, %s and %ls (UTF-16 string), %hs (8-bit string),
// %d %i %u %x %X %c %wc %%, with the l, ll and I64 size prefixes, width, zero fill and '-'. The result
// may fill MaximumLength completely (no terminating zero is written); a longer result is truncated and
// STATUS_BUFFER_OVERFLOW returned; an unknown conversion gives STATUS_INVALID_PARAMETER.
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);
// Formats into a zero-terminated buffer of cchDest units.
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, SIZE_T cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, SIZE_T cchMax, SIZE_T* pcchLength);

// ---------------------------------------------------------------------------------------------------
// Memory.
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!std::memcmp((Destination), (Source), (Length)))
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
} POOL_TYPE;

// Pool memory comes from a bounded pool (shared with framework memory objects); a request larger
// than what is left fails, as an absurd size fails on Windows.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);

// ---------------------------------------------------------------------------------------------------
// Interlocked operations.
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
inline LONGLONG InterlockedIncrement64(LONGLONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedExchange64(LONGLONG volatile* Target, LONGLONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------------------------------
// Events, waits, spin locks, time.
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 13 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE;
typedef CCHAR KPROCESSOR_MODE;

typedef struct _KEVENT {
  EVENT_TYPE Type;
  LONG SignalState;
  ULONG Magic;  // set by KeInitializeEvent; an event used uninitialised is reported
} KEVENT, *PKEVENT, *PRKEVENT;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Waits for a KEVENT. Allowed only at PASSIVE_LEVEL with no framework lock held (else reported). The
// wait runs the scheduler: ready work first, then the virtual clock moves to the next timed work, until
// the event is signalled or the time-out (negative: relative, 100-ns units) passes. A wait that nothing
// can ever satisfy is reported and returns STATUS_TIMEOUT instead of hanging.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// Moves the caller's virtual time on (PASSIVE_LEVEL only), running due work meanwhile.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// Spin locks raise to DISPATCH_LEVEL; re-entry by the holder and release by another are reported.
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

// System time in 100-ns units since 1601-01-01, read from the virtual clock.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime();
void KeQueryTickCount(PLARGE_INTEGER CurrentCount);
ULONG KeQueryTimeIncrement();

// ---------------------------------------------------------------------------------------------------
// Debugging. ASSERT reports a failed condition to the verifier (fails the test) and goes on.
void KmdfReportAssertion(const char* expression, const char* file, int line);
void KmdfAssertPagedCode(const char* file, int line);
#define ASSERT(e) ((e) ? (void)0 : KmdfReportAssertion(#e, __FILE__, __LINE__))
#define NT_ASSERT(e) ASSERT(e)
#define ASSERTMSG(msg, e) ASSERT(e)
#define KdPrint(x) ((void)0)
#define KdPrintEx(x) ((void)0)
ULONG DbgPrint(PCSTR Format, ...);

// ---------------------------------------------------------------------------------------------------
// I/O manager pieces.
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_MODEM 0x0000002b
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)(ctrlCode & 3))

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// Opaque kernel objects; drivers on this layer only pass them around.
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _MDL MDL, *PMDL;

struct _DRIVER_OBJECT;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef void DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;

typedef struct _DRIVER_OBJECT {
  short Type;
  short Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PVOID MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// The system's count of devices of each kind; a serial driver adds one to SerialCount per port.
typedef struct _CONFIGURATION_INFORMATION {
  ULONG DiskCount;
  ULONG FloppyCount;
  ULONG CdRomCount;
  ULONG TapeCount;
  ULONG ScsiPortCount;
  ULONG SerialCount;
  ULONG ParallelCount;
  BOOLEAN AtDiskPrimaryAddressClaimed;
  BOOLEAN AtDiskSecondaryAddressClaimed;
  ULONG Version;
  ULONG MediumChangerCount;
} CONFIGURATION_INFORMATION, *PCONFIGURATION_INFORMATION;

PCONFIGURATION_INFORMATION IoGetConfigurationInformation();

// ---------------------------------------------------------------------------------------------------
// Registry.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS 0xF003F
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L

// Path is relative to the root RelativeTo names (RTL_REGISTRY_DEVICEMAP: HKLM\HARDWARE\DEVICEMAP).
// The key is created when missing. The data is stored as given (ValueLength bytes).
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength);
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

// Tag helper: four characters in memory order ('Zvlk' written as the literal is byte-reversed).
#define KMDF_POOL_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
