// Host-side builder for a machine folder: the folder that the Windows layer shows to the removal tool
// as the system drive C:\ (through WINROOT). It lays out C:\WINDOWS\inf, C:\WINDOWS\system32\drivers
// and the Plug and Play device store devices.tsv, and reads them back after a run.
//
// Paths given to these helpers are relative to the root and use '/' separators, exactly as the files
// lie on the host; letter case is kept as given.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace machine {

struct Device {
    std::string instanceId;
    bool present = true;
    std::vector<std::string> hardwareIds;   // none: the device has no hardware-ID property
};

class MachineFolder {
public:
    explicit MachineFolder(std::filesystem::path root);

    const std::filesystem::path& Root() const { return root_; }

    // Creates WINDOWS/inf and WINDOWS/system32/drivers under the root.
    void CreateWindowsTree() const;

    void MakeDir(std::string_view rel) const;
    void WriteFile(std::string_view rel, std::string_view bytes) const;
    std::string ReadFile(std::string_view rel) const;
    bool Exists(std::string_view rel) const;
    void SetReadOnly(std::string_view rel, bool readOnly) const;
    bool IsReadOnly(std::string_view rel) const;

    void WriteDevices(const std::vector<Device>& devices) const;
    void WriteDevicesText(std::string_view text) const;
    // Instance IDs of the device lines left in devices.tsv, in file order.
    std::vector<std::string> DeviceInstanceIds() const;

    std::filesystem::path HostPath(std::string_view rel) const;

private:
    std::filesystem::path root_;
};

// Text of a Windows 4 style package INF. manufacturerLine is the first line of [Manufacturer]
// ("%Mfg%=Zelvik"); modelsSection the section header it leads to; modelLines its lines;
// sourceFilesSection the header of the source-files section ("SourceDisksFiles", or a decorated
// one), left out entirely when empty; sourceFiles its lines. Lines end in CR LF.
std::string PackageInf(std::string_view manufacturerLine, std::string_view modelsSection,
                       const std::vector<std::string>& modelLines, std::string_view sourceFilesSection,
                       const std::vector<std::string>& sourceFiles);

// The diagnostic-port package as it is installed: Zelvik models section with the USB\VID_3759 IDs,
// driver file corvid.sys first under [SourceDisksFiles].
std::string CorvidPackageInf();

// A package of another vendor (an ordinary USB serial adapter), driver file usbser.sys.
std::string OtherVendorInf();

// A google-style package with decorated models sections, listing a VID_3759 composite interface
// under [Google.NTx86].
std::string GoogleStyleInf();

// Builds the sample machine used by the demo: see make_demo_machine.cpp for what it contains.
void BuildDemoMachine(const MachineFolder& m);

}  // namespace machine
