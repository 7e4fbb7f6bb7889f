// The simulated machine's global state: scheduler, verifier, fault injection, registry, published names
// and the system reset.
#include "system.h"

#include <map>
#include <set>

namespace kmdf {

void ResetObjects();
void ResetPool();

namespace {

std::unique_ptr<kmdf_host::VirtualScheduler> g_scheduler;
std::vector<kmdf_host::VerifierReport> g_reports;
std::function<void(const kmdf_host::VerifierReport&)> g_listener;

struct Fault {
  NTSTATUS status;
  int skip;
  int count;
};
std::map<std::string, Fault> g_faults;
std::map<std::string, int> g_callCounts;

std::map<std::u16string, RegistryKeyData> g_registry;
std::map<std::u16string, SymbolicLinkRecord> g_links;
std::vector<kmdf_host::DeviceInterfaceRecord> g_interfaces;
CONFIGURATION_INFORMATION g_configuration{};
std::map<kmdf_host::DeviceNode, FxDevice*> g_devices;
std::set<WDFOBJECT> g_completedRequests;

// Far more tasks than any test runs between two idle points.
constexpr std::uint64_t kDefaultRunawayTasks = 5000000;
std::uint64_t g_runawayTasks = kDefaultRunawayTasks;

void ApplyRunawayLimit() {
  g_scheduler->SetRunawayLimit(g_runawayTasks, [] {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RunawayWork,
                              "the scheduler ran " + std::to_string(g_runawayTasks) + " tasks without becoming idle");
  });
}

void InstallScheduler() {
  g_scheduler = std::make_unique<kmdf_host::VirtualScheduler>(kmdf_host::kStartTime);
  ApplyRunawayLimit();
  g_scheduler->SetTaskWrapper([](const kmdf_host::Task& task) {
    HostCallGuard guard;
    ScopedExecContext context("scheduled work");
    task();
  });
}

}  // namespace

std::uint64_t RunawayLimit() { return g_runawayTasks; }

kmdf_host::VirtualScheduler& Sched() {
  if (!g_scheduler) InstallScheduler();
  return *g_scheduler;
}

std::map<std::u16string, RegistryKeyData>& Registry() { return g_registry; }
std::map<std::u16string, SymbolicLinkRecord>& SymbolicLinkTable() { return g_links; }
std::vector<kmdf_host::DeviceInterfaceRecord>& InterfaceTable() { return g_interfaces; }
CONFIGURATION_INFORMATION& ConfigurationInformation() { return g_configuration; }
std::map<kmdf_host::DeviceNode, FxDevice*>& DeviceTable() { return g_devices; }

FxDevice* DeviceByName(std::u16string_view name) {
  std::u16string upper = UpperCase(name);
  for (auto& [node, device] : g_devices) {
    if (!device->name.empty() && UpperCase(device->name) == upper) return device;
    if (UpperCase(device->pdoName) == upper) return device;
  }
  return nullptr;
}

bool WasCompletedRequest(WDFOBJECT handle) { return g_completedRequests.count(handle) != 0; }
void RememberCompletedRequest(WDFOBJECT handle) { g_completedRequests.insert(handle); }

std::u16string UpperCase(std::u16string_view text) {
  std::u16string result(text);
  for (auto& c : result) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return result;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::u16string FromWide(PCWSTR text) {
  if (text == nullptr) return {};
  return std::u16string(text);
}

std::string Narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

std::u16string CanonicalLinkName(std::u16string_view name) {
  std::u16string upper = UpperCase(name);
  const std::u16string prefixes[] = {u"\\DOSDEVICES\\", u"\\??\\", u"\\\\.\\", u"\\GLOBAL??\\"};
  for (const auto& prefix : prefixes) {
    if (upper.rfind(prefix, 0) == 0) return u"\\??\\" + upper.substr(prefix.size());
  }
  return upper;
}

}  // namespace kmdf

namespace kmdf_host {

Scheduler& CurrentScheduler() { return kmdf::Sched(); }

void SetRunawayLimit(std::uint64_t tasks) {
  kmdf::g_runawayTasks = tasks;
  kmdf::Sched();
  kmdf::ApplyRunawayLimit();
}

void ResetSystem() {
  kmdf::g_runawayTasks = kmdf::kDefaultRunawayTasks;
  kmdf::PnpReset();
  kmdf::IoManagerReset();
  kmdf::ResetObjects();
  kmdf::ResetPool();
  kmdf::ResetExecContexts();
  kmdf::InstallScheduler();
  kmdf::g_reports.clear();
  kmdf::g_faults.clear();
  kmdf::g_callCounts.clear();
  kmdf::g_registry.clear();
  kmdf::g_links.clear();
  kmdf::g_interfaces.clear();
  kmdf::g_configuration = CONFIGURATION_INFORMATION{};
  kmdf::g_configuration.Version = 1;
  kmdf::g_devices.clear();
  kmdf::g_completedRequests.clear();
}

void RunUntilIdle() { kmdf::Sched().RunUntilIdle(); }
void AdvanceBy(ULONG milliseconds) { kmdf::Sched().AdvanceBy(milliseconds); }
LONGLONG Now() { return kmdf::Sched().Now(); }

const char* ToString(VerifierCheck check) {
  switch (check) {
    case VerifierCheck::RequestCompletedTwice: return "RequestCompletedTwice";
    case VerifierCheck::RequestNotOwned: return "RequestNotOwned";
    case VerifierCheck::WaitAtDispatch: return "WaitAtDispatch";
    case VerifierCheck::WaitUnderLock: return "WaitUnderLock";
    case VerifierCheck::LockReentered: return "LockReentered";
    case VerifierCheck::LockReleasedByOther: return "LockReleasedByOther";
    case VerifierCheck::LockHeldOnReturn: return "LockHeldOnReturn";
    case VerifierCheck::DeletedObjectUsed: return "DeletedObjectUsed";
    case VerifierCheck::RequestPendingAtRemoval: return "RequestPendingAtRemoval";
    case VerifierCheck::WrongLevel: return "WrongLevel";
    case VerifierCheck::InvalidCall: return "InvalidCall";
    case VerifierCheck::AssertionFailed: return "AssertionFailed";
    case VerifierCheck::WaitNeverSatisfied: return "WaitNeverSatisfied";
    case VerifierCheck::RunawayWork: return "RunawayWork";
  }
  return "Unknown";
}

void SetVerifierListener(std::function<void(const VerifierReport&)> listener) { kmdf::g_listener = std::move(listener); }
const std::vector<VerifierReport>& VerifierReports() { return kmdf::g_reports; }

std::vector<VerifierReport> TakeVerifierReports() {
  std::vector<VerifierReport> reports;
  reports.swap(kmdf::g_reports);
  return reports;
}

void ReportVerifier(VerifierCheck check, std::string message) {
  VerifierReport report{check, std::move(message)};
  kmdf::g_reports.push_back(report);
  if (kmdf::g_listener) kmdf::g_listener(report);
}

void InjectFault(std::string call, NTSTATUS status, int skip, int count) {
  kmdf::g_faults[std::move(call)] = kmdf::Fault{status, skip, count};
}

void ClearFaults() { kmdf::g_faults.clear(); }

NTSTATUS CheckFault(const char* call) {
  ++kmdf::g_callCounts[call];
  auto it = kmdf::g_faults.find(call);
  if (it == kmdf::g_faults.end()) return STATUS_SUCCESS;
  auto& fault = it->second;
  if (fault.skip > 0) {
    --fault.skip;
    return STATUS_SUCCESS;
  }
  if (fault.count == 0) return STATUS_SUCCESS;
  if (fault.count > 0) --fault.count;
  return fault.status;
}

int CallCount(const std::string& call) {
  auto it = kmdf::g_callCounts.find(call);
  return it == kmdf::g_callCounts.end() ? 0 : it->second;
}

RegistryValue RegistryValue::Dword(ULONG value) {
  RegistryValue v;
  v.type = REG_DWORD;
  v.data.resize(4);
  std::memcpy(v.data.data(), &value, 4);
  return v;
}

RegistryValue RegistryValue::String(std::u16string_view text) {
  std::u16string withZero(text);
  withZero.push_back(u'\0');
  return RawString(withZero);
}

RegistryValue RegistryValue::RawString(std::u16string_view units) {
  RegistryValue v;
  v.type = REG_SZ;
  v.data.resize(units.size() * 2);
  std::memcpy(v.data.data(), units.data(), v.data.size());
  return v;
}

std::optional<ULONG> RegistryValue::AsDword() const {
  if (type != REG_DWORD || data.size() != 4) return std::nullopt;
  ULONG value;
  std::memcpy(&value, data.data(), 4);
  return value;
}

std::u16string RegistryValue::AsString() const {
  std::u16string text(data.size() / 2, u'\0');
  std::memcpy(text.data(), data.data(), text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

std::optional<RegistryValue> ReadRegistryValue(std::u16string_view keyPath, std::u16string_view valueName) {
  auto key = kmdf::g_registry.find(kmdf::UpperCase(keyPath));
  if (key == kmdf::g_registry.end()) return std::nullopt;
  auto value = key->second.values.find(kmdf::UpperCase(valueName));
  if (value == key->second.values.end()) return std::nullopt;
  return value->second.value;
}

void WriteRegistryValue(std::u16string_view keyPath, std::u16string_view valueName, RegistryValue value) {
  auto& key = kmdf::g_registry[kmdf::UpperCase(keyPath)];
  key.values[kmdf::UpperCase(valueName)] = NamedRegistryValue{std::u16string(valueName), std::move(value)};
}

std::vector<NamedRegistryValue> RegistryValues(std::u16string_view keyPath) {
  std::vector<NamedRegistryValue> result;
  auto key = kmdf::g_registry.find(kmdf::UpperCase(keyPath));
  if (key == kmdf::g_registry.end()) return result;
  for (auto& [name, value] : key->second.values) result.push_back(value);
  return result;
}

bool RegistryKeyExists(std::u16string_view keyPath) { return kmdf::g_registry.count(kmdf::UpperCase(keyPath)) != 0; }

std::optional<RegistryValue> DeviceMapValue(std::u16string_view key, std::u16string_view valueName) {
  return ReadRegistryValue(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\" + std::u16string(key), valueName);
}

ULONG SerialCount() { return kmdf::g_configuration.SerialCount; }

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view linkName) {
  auto it = kmdf::g_links.find(kmdf::CanonicalLinkName(linkName));
  if (it == kmdf::g_links.end()) return std::nullopt;
  return it->second.target;
}

std::vector<std::u16string> SymbolicLinks() {
  std::vector<std::u16string> result;
  for (auto& [key, record] : kmdf::g_links) result.push_back(record.name);
  return result;
}

std::vector<DeviceInterfaceRecord> DeviceInterfaces() { return kmdf::g_interfaces; }

}  // namespace kmdf_host
