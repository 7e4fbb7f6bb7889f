// The state of the simulated machine that is not a framework object: the scheduler, the registry,
// symbolic links, device interfaces, the configuration record, and their reset.
#pragma once

#include "device.h"

#include <kmdf_host/host.h>

#include <map>
#include <optional>
#include <string>

namespace kmdf {

kmdf_host::VirtualScheduler& Sched();
// Ready tasks a run or wait may execute without reaching idle before it is taken as runaway work.
std::uint64_t RunawayLimit();

// Registry: keys by upper-cased absolute path; values by upper-cased name.
struct RegistryKeyData {
  std::map<std::u16string, kmdf_host::NamedRegistryValue> values;
};
std::map<std::u16string, RegistryKeyData>& Registry();
std::u16string UpperCase(std::u16string_view text);
std::u16string FromUnicodeString(PCUNICODE_STRING string);
std::u16string FromWide(PCWSTR text);
std::string Narrow(std::u16string_view text);

struct SymbolicLinkRecord {
  std::u16string name;  // as created
  std::u16string target;
  kmdf_host::DeviceNode node;
};
// Keys are canonical link names ("\??\COM5", upper case).
std::map<std::u16string, SymbolicLinkRecord>& SymbolicLinkTable();
std::u16string CanonicalLinkName(std::u16string_view name);
std::vector<kmdf_host::DeviceInterfaceRecord>& InterfaceTable();
CONFIGURATION_INFORMATION& ConfigurationInformation();

// Devices by node.
std::map<kmdf_host::DeviceNode, FxDevice*>& DeviceTable();
FxDevice* DeviceByName(std::u16string_view name);

// Called by the I/O manager part when a device goes: completes what is still pending.
void IoManagerDeviceGone(FxDevice* device);
// Resets the I/O manager's tables.
void IoManagerReset();
void PnpReset();

// Tombstones of completed framework requests (for the completed-twice report).
bool WasCompletedRequest(WDFOBJECT handle);
void RememberCompletedRequest(WDFOBJECT handle);

}  // namespace kmdf
