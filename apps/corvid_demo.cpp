// corvid-demo: loads the driver on the simulated machine, plugs a device whose hardware key names the
// port COM5, shows what the driver published, then removes the device and shows what is left.
#include <kmdf_host/host.h>

#include <cstdio>
#include <string>

#include "lifecycle/lifecycle.h"

namespace {

const char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Narrow(std::u16string_view text)
{
    std::string out;
    for (char16_t unit : text) {
        out += unit < 0x80 ? (char)unit : '?';
    }
    return out;
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

void ShowPublished(const char* heading)
{
    std::printf("%s\n", heading);
    std::printf("  devices:           %zu\n", kmdf_host::Devices().size());
    for (kmdf_host::DeviceNode node : kmdf_host::Devices()) {
        std::printf("  device name:       %s\n", Narrow(kmdf_host::DeviceName(node)).c_str());
    }
    for (const std::u16string& link : kmdf_host::SymbolicLinks()) {
        auto target = kmdf_host::SymbolicLinkTarget(link);
        std::printf("  DOS name:          %s -> %s\n", Narrow(link).c_str(), Narrow(target.value_or(u"?")).c_str());
    }
    for (const kmdf_host::NamedRegistryValue& value : kmdf_host::RegistryValues(kSerialCommKey)) {
        std::printf("  SERIALCOMM value:  %s = \"%s\" (REG_SZ, %zu bytes)\n", Narrow(value.name).c_str(),
                    Narrow(value.value.AsString()).c_str(), value.value.data.size());
    }
    for (const kmdf_host::DeviceInterfaceRecord& record : kmdf_host::DeviceInterfaces()) {
        std::printf("  device interface:  %s on device %u\n", GuidText(record.interfaceClass).c_str(),
                    (unsigned)record.node);
    }
    std::printf("  serial-port count: %u\n", (unsigned)kmdf_host::SerialCount());
}

int Fail(const char* step, NTSTATUS status)
{
    std::printf("%s failed: status 0x%08X\n", step, (unsigned)status);
    return 1;
}

}  // namespace

int main()
{
    kmdf_host::ResetSystem();
    NTSTATUS status = kmdf_host::LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        return Fail("loading the driver", status);
    }
    std::printf("driver loaded\n");

    kmdf_host::DeviceSetup setup;
    setup.hardwareKey.push_back({u"PortName", kmdf_host::RegistryValue::String(u"COM5")});
    kmdf_host::DeviceNode node = 0;
    status = kmdf_host::AddDevice(setup, &node);
    if (!NT_SUCCESS(status)) {
        return Fail("adding the device", status);
    }
    ShowPublished("device added with PortName COM5:");

    status = kmdf_host::RemoveDevice(node);
    if (!NT_SUCCESS(status)) {
        return Fail("removing the device", status);
    }
    ShowPublished("device removed:");

    kmdf_host::UnloadDriver();
    std::printf("driver unloaded\n");

    int reports = (int)kmdf_host::VerifierReports().size();
    for (const kmdf_host::VerifierReport& report : kmdf_host::VerifierReports()) {
        std::printf("verifier: %s: %s\n", kmdf_host::ToString(report.check), report.message.c_str());
    }
    return reports == 0 ? 0 : 1;
}
