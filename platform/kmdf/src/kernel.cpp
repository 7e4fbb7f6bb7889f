// Kernel services: levels, events and waits, spin locks, time, strings and formatting, registry helpers,
// the configuration record, and the debugging hooks.
#include "device.h"
#include "system.h"

#include <cstdarg>
#include <string>

using namespace kmdf;

namespace {
constexpr ULONG kEventMagic = 0x4B455645;  // set by KeInitializeEvent
}  // namespace

KIRQL KeGetCurrentIrql() { return CurrentContext().irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  ExecContext& context = CurrentContext();
  if (OldIrql) *OldIrql = context.irql;
  if (NewIrql < context.irql) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "KeRaiseIrql to a lower level");
    return;
  }
  context.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
  ExecContext& context = CurrentContext();
  if (NewIrql > context.irql || NewIrql < context.baseIrql) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "KeLowerIrql to an invalid level");
    return;
  }
  context.irql = NewIrql;
}

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (Event == nullptr) return;
  Event->Type = Type;
  Event->SignalState = State ? 1 : 0;
  Event->Magic = kEventMagic;
}

namespace {
bool CheckEvent(PRKEVENT Event, const char* call) {
  if (Event == nullptr || Event->Magic != kEventMagic) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, std::string(call) + ": event not initialised");
    return false;
  }
  return true;
}
}  // namespace

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  if (!CheckEvent(Event, "KeSetEvent")) return 0;
  LONG previous = Event->SignalState;
  Event->SignalState = 1;
  return previous;
}

void KeClearEvent(PRKEVENT Event) {
  if (CheckEvent(Event, "KeClearEvent")) Event->SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  if (!CheckEvent(Event, "KeResetEvent")) return 0;
  LONG previous = Event->SignalState;
  Event->SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return CheckEvent(Event, "KeReadStateEvent") ? Event->SignalState : 0; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  auto* event = static_cast<PRKEVENT>(Object);
  if (!CheckEvent(event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!zeroTimeout && !CheckMayWait("KeWaitForSingleObject")) {
    // The wait cannot be honoured; the caller gets the state as it is.
    return event->SignalState ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  LONGLONG deadline = 0;
  if (Timeout != nullptr) {
    deadline = Timeout->QuadPart < 0 ? Sched().Now() - Timeout->QuadPart : Timeout->QuadPart;
    if (deadline == 0) deadline = 1;
  }
  bool signalled = event->SignalState != 0;
  if (!signalled && !zeroTimeout) {
    signalled = WaitUntil([event]() { return event->SignalState != 0; }, deadline, "KeWaitForSingleObject");
  }
  if (!signalled) return STATUS_TIMEOUT;
  if (event->Type == SynchronizationEvent) event->SignalState = 0;
  return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  if (!CheckMayWait("KeDelayExecutionThread")) return STATUS_SUCCESS;
  LONGLONG deadline = Interval->QuadPart < 0 ? Sched().Now() - Interval->QuadPart : Interval->QuadPart;
  WaitUntil([deadline]() { return Sched().Now() >= deadline; }, deadline, "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  if (SpinLock) *SpinLock = 0;
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  ExecContext& context = CurrentContext();
  if (OldIrql) *OldIrql = context.irql;
  if (*SpinLock == context.id) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockReentered, "spin lock taken again by its holder");
    return;
  }
  *SpinLock = context.id;
  context.heldLocks.push_back(SpinLock);
  if (context.irql < DISPATCH_LEVEL) context.irql = DISPATCH_LEVEL;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ExecContext& context = CurrentContext();
  if (*SpinLock != context.id) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockReleasedByOther,
                              "spin lock released by a context that does not hold it");
    return;
  }
  *SpinLock = 0;
  auto& held = context.heldLocks;
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (*it == SpinLock) {
      held.erase(it);
      break;
    }
  }
  context.irql = NewIrql;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  if (CurrentTime) CurrentTime->QuadPart = Sched().Now();
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(Sched().Now() - kmdf_host::kStartTime); }

void KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  if (CurrentCount) CurrentCount->QuadPart = (Sched().Now() - kmdf_host::kStartTime) / 156250;
}

ULONG KeQueryTimeIncrement() { return 156250; }

// ----------------------------------------------------------------------------------------------------
// Strings.

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (DestinationString == nullptr) return;
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  std::size_t units = std::char_traits<char16_t>::length(SourceString);
  if (units > 32766) units = 32766;
  DestinationString->Length = static_cast<USHORT>(units * 2);
  DestinationString->MaximumLength = static_cast<USHORT>(units * 2 + 2);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (DestinationString == nullptr) return;
  std::size_t length = SourceString ? std::strlen(SourceString) : 0;
  DestinationString->Length = static_cast<USHORT>(length);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length + 1 : 0);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (DestinationString == nullptr) return;
  if (SourceString == nullptr || SourceString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT length = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                          : DestinationString->MaximumLength;
  std::memmove(DestinationString->Buffer, SourceString->Buffer, length);
  DestinationString->Length = length;
  if (length + 2 <= DestinationString->MaximumLength) DestinationString->Buffer[length / 2] = u'\0';
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Destination == nullptr || Source == nullptr) return STATUS_INVALID_PARAMETER;
  if (static_cast<ULONG>(Destination->Length) + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + 2 <= Destination->MaximumLength) Destination->Buffer[Destination->Length / 2] = u'\0';
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

namespace {
char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
}  // namespace

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  std::size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
  for (std::size_t i = 0; i < n1 && i < n2; ++i) {
    char16_t a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  auto* a = static_cast<const std::uint8_t*>(Source1);
  auto* b = static_cast<const std::uint8_t*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

namespace {

// Formats into `out`; false for an unknown conversion.
bool FormatWide(std::u16string& out, PCWSTR format, va_list args) {
  for (const char16_t* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out.push_back(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.push_back(u'%');
      continue;
    }
    bool left = false, zero = false;
    while (*p == u'-' || *p == u'0') {
      if (*p == u'-') left = true;
      if (*p == u'0') zero = true;
      ++p;
    }
    std::size_t width = 0;
    while (*p >= u'0' && *p <= u'9') width = width * 10 + static_cast<std::size_t>(*p++ - u'0');
    enum { Int, Long, LongLong, Short, Wide, Narrow } size = Int;
    if (*p == u'l' && p[1] == u'l') {
      size = LongLong;
      p += 2;
    } else if (*p == u'I' && p[1] == u'6' && p[2] == u'4') {
      size = LongLong;
      p += 3;
    } else if (*p == u'l') {
      size = Long;
      ++p;
    } else if (*p == u'h') {
      size = Short;
      ++p;
    } else if (*p == u'w') {
      size = Wide;
      ++p;
    }
    std::u16string piece;
    switch (*p) {
      case u's': {
        if (size == Short) {
          const char* text = va_arg(args, const char*);
          if (text == nullptr) text = "(null)";
          for (; *text; ++text) piece.push_back(static_cast<unsigned char>(*text));
        } else {
          const char16_t* text = va_arg(args, const char16_t*);
          if (text == nullptr) text = u"(null)";
          piece = text;
        }
        break;
      }
      case u'c': {
        int c = va_arg(args, int);
        piece.push_back(static_cast<char16_t>(c));
        break;
      }
      case u'd':
      case u'i': {
        long long value = size == LongLong ? va_arg(args, long long) : static_cast<long long>(va_arg(args, int));
        if (size == Short) value = static_cast<short>(value);
        std::string digits = std::to_string(value);
        piece.assign(digits.begin(), digits.end());
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        unsigned long long value = size == LongLong ? va_arg(args, unsigned long long)
                                                    : static_cast<unsigned long long>(va_arg(args, unsigned int));
        if (size == Short) value = static_cast<unsigned short>(value);
        std::string digits;
        if (*p == u'u') {
          digits = std::to_string(value);
        } else {
          const char* hex = *p == u'x' ? "0123456789abcdef" : "0123456789ABCDEF";
          do {
            digits.insert(digits.begin(), hex[value & 0xF]);
            value >>= 4;
          } while (value != 0);
        }
        piece.assign(digits.begin(), digits.end());
        break;
      }
      default:
        return false;
    }
    if (piece.size() < width) {
      std::size_t fill = width - piece.size();
      if (left) {
        piece.append(fill, u' ');
      } else if (zero && *p != u's' && *p != u'c') {
        std::size_t at = (!piece.empty() && piece[0] == u'-') ? 1 : 0;
        piece.insert(at, fill, u'0');
      } else {
        piece.insert(0, fill, u' ');
      }
    }
    out += piece;
  }
  return true;
}

}  // namespace

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
  if (DestinationString == nullptr || pszFormat == nullptr ||
      (DestinationString->Buffer == nullptr && DestinationString->MaximumLength != 0) ||
      DestinationString->MaximumLength % 2 != 0 ||
      DestinationString->MaximumLength / 2 > NTSTRSAFE_UNICODE_STRING_MAX_CCH) {
    if (DestinationString) DestinationString->Length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS fault = kmdf_host::CheckFault("RtlUnicodeStringPrintf");
  if (!NT_SUCCESS(fault)) {
    DestinationString->Length = 0;
    return fault;
  }
  std::u16string text;
  va_list args;
  va_start(args, pszFormat);
  bool ok = FormatWide(text, pszFormat, args);
  va_end(args);
  if (!ok) {
    DestinationString->Length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  std::size_t capacity = DestinationString->MaximumLength / 2;
  NTSTATUS status = STATUS_SUCCESS;
  if (text.size() > capacity) {
    text.resize(capacity);
    status = STATUS_BUFFER_OVERFLOW;
  }
  if (!text.empty()) std::memcpy(DestinationString->Buffer, text.data(), text.size() * 2);
  DestinationString->Length = static_cast<USHORT>(text.size() * 2);
  return status;
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, SIZE_T cchDest, PCWSTR pszFormat, ...) {
  if (pszDest == nullptr || cchDest == 0 || pszFormat == nullptr || cchDest > 2147483647) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string text;
  va_list args;
  va_start(args, pszFormat);
  bool ok = FormatWide(text, pszFormat, args);
  va_end(args);
  if (!ok) {
    pszDest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (text.size() >= cchDest) {
    text.resize(cchDest - 1);
    status = STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(pszDest, text.data(), text.size() * 2);
  pszDest[text.size()] = 0;
  return status;
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, SIZE_T cchMax, SIZE_T* pcchLength) {
  if (pcchLength) *pcchLength = 0;
  if (psz == nullptr) return STATUS_INVALID_PARAMETER;
  SIZE_T n = 0;
  while (n < cchMax && psz[n] != 0) ++n;
  if (n == cchMax) return STATUS_INVALID_PARAMETER;
  if (pcchLength) *pcchLength = n;
  return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------------------------------
// Registry.

namespace {

bool RegistryPath(ULONG RelativeTo, PCWSTR Path, std::u16string* out) {
  if (Path == nullptr) return false;
  std::u16string path(Path);
  switch (RelativeTo & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE:
      *out = path;
      return true;
    case RTL_REGISTRY_SERVICES:
      *out = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + path;
      return true;
    case RTL_REGISTRY_CONTROL:
      *out = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\" + path;
      return true;
    case RTL_REGISTRY_WINDOWS_NT:
      *out = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\" + path;
      return true;
    case RTL_REGISTRY_DEVICEMAP:
      *out = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\" + path;
      return true;
    default:
      return false;
  }
}

}  // namespace

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  if (CurrentContext().irql != PASSIVE_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "RtlWriteRegistryValue above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::u16string key;
  if (!RegistryPath(RelativeTo, Path, &key) || ValueName == nullptr || (ValueData == nullptr && ValueLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault("RtlWriteRegistryValue");
  if (!NT_SUCCESS(status)) return status;
  kmdf_host::RegistryValue value;
  value.type = ValueType;
  value.data.assign(static_cast<std::uint8_t*>(ValueData), static_cast<std::uint8_t*>(ValueData) + ValueLength);
  kmdf_host::WriteRegistryValue(key, ValueName, std::move(value));
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  if (CurrentContext().irql != PASSIVE_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "RtlDeleteRegistryValue above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::u16string key;
  if (!RegistryPath(RelativeTo, Path, &key) || ValueName == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("RtlDeleteRegistryValue");
  if (!NT_SUCCESS(status)) return status;
  auto data = Registry().find(UpperCase(key));
  if (data == Registry().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return data->second.values.erase(UpperCase(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  std::u16string key;
  if (!RegistryPath(RelativeTo, Path, &key)) return STATUS_INVALID_PARAMETER;
  return kmdf_host::RegistryKeyExists(key) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PCONFIGURATION_INFORMATION IoGetConfigurationInformation() { return &ConfigurationInformation(); }

void KmdfReportAssertion(const char* expression, const char* file, int line) {
  kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::AssertionFailed,
                            std::string("ASSERT(") + expression + ") failed at " + file + ":" + std::to_string(line));
}

void KmdfAssertPagedCode(const char* file, int line) {
  if (CurrentContext().irql > APC_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel,
                              std::string("pageable code at DISPATCH_LEVEL at ") + file + ":" + std::to_string(line));
  }
}

ULONG DbgPrint(PCSTR, ...) { return 0; }
