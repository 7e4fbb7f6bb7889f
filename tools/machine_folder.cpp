// Host-side machine folder builder; see machine_folder.h.
#include "machine_folder.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace machine {

MachineFolder::MachineFolder(fs::path root) : root_(std::move(root)) {}

fs::path MachineFolder::HostPath(std::string_view rel) const { return root_ / fs::path(std::string(rel)); }

void MachineFolder::CreateWindowsTree() const {
    MakeDir("WINDOWS/inf");
    MakeDir("WINDOWS/system32/drivers");
}

void MachineFolder::MakeDir(std::string_view rel) const { fs::create_directories(HostPath(rel)); }

void MachineFolder::WriteFile(std::string_view rel, std::string_view bytes) const {
    const fs::path path = HostPath(rel);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string MachineFolder::ReadFile(std::string_view rel) const {
    std::ifstream in(HostPath(rel), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + HostPath(rel).string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool MachineFolder::Exists(std::string_view rel) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(HostPath(rel), ec));
}

void MachineFolder::SetReadOnly(std::string_view rel, bool readOnly) const {
    fs::permissions(HostPath(rel), fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

bool MachineFolder::IsReadOnly(std::string_view rel) const {
    return (fs::status(HostPath(rel)).permissions() & fs::perms::owner_write) == fs::perms::none;
}

void MachineFolder::WriteDevices(const std::vector<Device>& devices) const {
    std::string text = "# instance ID\tpresent|absent\thardware IDs...\n";
    for (const Device& d : devices) {
        text += d.instanceId;
        text += d.present ? "\tpresent" : "\tabsent";
        for (const std::string& id : d.hardwareIds) {
            text += '\t';
            text += id;
        }
        text += '\n';
    }
    WriteDevicesText(text);
}

void MachineFolder::WriteDevicesText(std::string_view text) const { WriteFile("devices.tsv", text); }

std::vector<std::string> MachineFolder::DeviceInstanceIds() const {
    std::vector<std::string> ids;
    if (!Exists("devices.tsv")) return ids;
    std::istringstream in(ReadFile("devices.tsv"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        ids.push_back(line.substr(0, line.find('\t')));
    }
    return ids;
}

std::string PackageInf(std::string_view manufacturerLine, std::string_view modelsSection,
                       const std::vector<std::string>& modelLines, std::string_view sourceFilesSection,
                       const std::vector<std::string>& sourceFiles) {
    std::string t;
    auto line = [&t](std::string_view s) {
        t += s;
        t += "\r\n";
    };
    line("[Version]");
    line("Signature=\"$Windows NT$\"");
    line("Class=Ports");
    line("ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}");
    line("Provider=%Mfg%");
    line("DriverVer=03/14/2011,1.2.0.0");
    line("");
    line("[Manufacturer]");
    line(manufacturerLine);
    line("");
    line("[" + std::string(modelsSection) + "]");
    for (const std::string& l : modelLines) line(l);
    line("");
    line("[SourceDisksNames]");
    line("1=%Disk%,,,");
    line("");
    if (!sourceFilesSection.empty()) {
        line("[" + std::string(sourceFilesSection) + "]");
        for (const std::string& l : sourceFiles) line(l);
        line("");
    }
    line("[DestinationDirs]");
    line("DefaultDestDir=12");
    line("");
    line("[Strings]");
    line("Mfg=\"Sample Devices\"");
    line("Disk=\"Driver Disk\"");
    line("Port=\"Serial Port\"");
    return t;
}

std::string CorvidPackageInf() {
    return PackageInf("%Mfg%=Zelvik", "Zelvik",
                      {"%Port%=DiagInstall, USB\\VID_3759&PID_0001", "%Port%=DiagInstall, USB\\VID_3759&PID_0002"},
                      "SourceDisksFiles", {"corvid.sys=1", "corvcoin.dll=1"});
}

std::string OtherVendorInf() {
    return PackageInf("%Mfg%=Tarvos", "Tarvos", {"%Port%=AdapterInstall, USB\\VID_0483&PID_5740"},
                      "SourceDisksFiles", {"usbser.sys=1"});
}

std::string GoogleStyleInf() {
    return PackageInf("%Mfg%=Google, NTx86, NTamd64", "Google.NTx86",
                      {"%Port%=AdbInstall, USB\\VID_18D1&PID_4E42", "%Port%=AdbInstall, USB\\VID_3759&PID_0100&MI_01"},
                      "SourceDisksFiles.x86", {"adbwinusb.sys=1"});
}

void BuildDemoMachine(const MachineFolder& m) {
    m.CreateWindowsTree();
    // System INFs: their names fail the oem*inf filter, so the tool never opens them.
    m.WriteFile("WINDOWS/inf/usb.inf", OtherVendorInf());
    m.WriteFile("WINDOWS/inf/OEM2.INF", CorvidPackageInf());
    // The installed diagnostic-port package with its precompiled PNF.
    m.WriteFile("WINDOWS/inf/oem7.inf", CorvidPackageInf());
    m.WriteFile("WINDOWS/inf/oem7.PNF", "precompiled oem7.inf\r\n");
    // Another vendor's package: listed, analysed, kept.
    m.WriteFile("WINDOWS/inf/oem3.inf", OtherVendorInf());
    m.WriteFile("WINDOWS/inf/oem3.PNF", "precompiled oem3.inf\r\n");
    // A read-only package of another vendor: the scan clears its read-only attribute, nothing else.
    m.WriteFile("WINDOWS/inf/oem9.inf", OtherVendorInf());
    m.SetReadOnly("WINDOWS/inf/oem9.inf", true);
    // A google-style package carrying the vendor ID: its INF and PNF go, its driver file stays.
    m.WriteFile("WINDOWS/inf/oem11.inf", GoogleStyleInf());
    m.WriteFile("WINDOWS/inf/oem11.PNF", "precompiled oem11.inf\r\n");
    // Driver files.
    m.WriteFile("WINDOWS/system32/drivers/corvid.sys", std::string("MZ\x90\0corvid", 10));
    m.WriteFile("WINDOWS/system32/drivers/usbser.sys", std::string("MZ\x90\0usbser", 10));
    m.WriteFile("WINDOWS/system32/drivers/adbwinusb.sys", std::string("MZ\x90\0adbwinusb", 13));
    m.WriteDevices({
        {"ACPI\\PNP0A03\\0", true, {"ACPI\\PNP0A03", "*PNP0A03"}},
        {"PCI\\VEN_8086&DEV_7113\\3&61AAA01&0&3A", true, {"PCI\\VEN_8086&DEV_7113&SUBSYS_00000000&REV_03", "PCI\\VEN_8086&DEV_7113"}},
        {"USB\\VID_3759&PID_0001\\5&2C1A3F0&0&1", true, {"USB\\VID_3759&PID_0001&REV_0100", "USB\\VID_3759&PID_0001"}},
        {"USB\\VID_0483&PID_5740\\6&1B2F9E1&0&2", true, {"USB\\VID_0483&PID_5740&REV_0200", "USB\\VID_0483&PID_5740"}},
        {"USB\\Vid_3759&Pid_0002\\7&3A0C11D&0&4", false, {"USB\\Vid_3759&Pid_0002"}},
        {"ROOT\\LEGACY_BEEP\\0000", true, {}},
        {"USB\\ROOT_HUB\\4&1D2A8C7&0", true, {"USB\\ROOT_HUB", "USB\\OTHER_HUB"}},
    });
}

}  // namespace machine
