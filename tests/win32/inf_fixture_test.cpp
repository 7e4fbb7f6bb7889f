// Published driver INFs read through the Setup API calls, with the values Windows gives for them.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "inf_support.h"

namespace win32test {
namespace {

struct FixtureCase {
    const char* description;
    const char* file;
    const char* section;
    unsigned line;
    DWORD field;
    const char* expected;  // nullptr: no such line or field
};

std::ostream& operator<<(std::ostream& os, const FixtureCase& c) { return os << c.description; }

class RealInf : public InfMachine, public ::testing::WithParamInterface<FixtureCase> {
protected:
    // Installs the published INF as C:\WINDOWS\inf\oem1.inf and opens it.
    bool OpenFixture(const char* file) {
        const std::filesystem::path source = std::filesystem::path(WIN32_INF_FIXTURES) / file;
        std::ifstream in(source, std::ios::binary);
        if (!in) return false;
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        WriteFile("WINDOWS/inf/oem1.inf", bytes);
        inf_ = SetupOpenInfFileA("C:\\WINDOWS\\inf\\oem1.inf", NULL, INF_STYLE_WIN4, &errorLine_);
        return true;
    }
};

TEST_P(RealInf, ReadField_GivesSetupApiValue) {
    const FixtureCase& c = GetParam();
    if (!OpenFixture(c.file)) GTEST_SKIP() << "fixture missing: " << c.file;
    ASSERT_NE(inf_, INVALID_HANDLE_VALUE) << "error " << GetLastError() << " line " << errorLine_;
    ExpectField(c.section, c.line, c.field, c.expected);
}

const FixtureCase kFixtureCases[] = {
    // Google-style package: decorated models sections, no plain [SourceDisksFiles].
    {"android manufacturer key", "android_winusb.inf", "Manufacturer", 0, 0, "Google, Inc."},
    {"android models name", "android_winusb.inf", "Manufacturer", 0, 1, "Google"},
    {"android first decoration", "android_winusb.inf", "Manufacturer", 0, 2, "NTx86"},
    {"android second decoration", "android_winusb.inf", "Manufacturer", 0, 3, "NTamd64"},
    {"android no plain models section", "android_winusb.inf", "Google", 0, 0, nullptr},
    {"android first hardware id", "android_winusb.inf", "Google.NTx86", 0, 2, "USB\\VID_0451&PID_D00F"},
    {"android device name", "android_winusb.inf", "Google.NTx86", 4, 0, "Android Composite ADB Interface"},
    {"android last hardware id", "android_winusb.inf", "Google.NTx86", 25, 2, "USB\\VID_18D1&PID_4EE6&MI_01"},
    {"android past last line", "android_winusb.inf", "Google.NTx86", 26, 0, nullptr},
    {"android no plain source files", "android_winusb.inf", "SourceDisksFiles", 0, 0, nullptr},
    {"android x86 source file", "android_winusb.inf", "SourceDisksFiles.x86", 0, 0, "WinUSBCoInstaller2.dll"},
    {"android disk name", "android_winusb.inf", "SourceDisksNames", 0, 1, "Android WinUsb installation disk"},
    {"android disk empty field", "android_winusb.inf", "SourceDisksNames", 0, 2, ""},
    {"android disk path", "android_winusb.inf", "SourceDisksNames", 1, 4, "\\amd64"},
    {"android class", "android_winusb.inf", "Version", 1, 1, "AndroidUsbDeviceClass"},
    {"android class reg empty key field", "android_winusb.inf", "AndroidWinUsbClassReg", 0, 5, "Android Device"},
    // Strings first, dotted string keys, CRLF, trailing blanks.
    {"arduino manufacturer key", "arduino.inf", "Manufacturer", 0, 0, "Arduino LLC (www.arduino.cc)"},
    {"arduino models name", "arduino.inf", "Manufacturer", 0, 1, "DeviceList"},
    {"arduino second decoration", "arduino.inf", "Manufacturer", 0, 3, "NTia64"},
    {"arduino dotted string key", "arduino.inf", "DeviceList", 1, 0, "Arduino Due Programming Port"},
    {"arduino first hardware id", "arduino.inf", "DeviceList", 0, 2, "USB\\VID_03EB&PID_6124"},
    {"arduino last hardware id", "arduino.inf", "DeviceList", 31, 2, "USB\\VID_2341&PID_E001"},
    {"arduino trailing blank trimmed", "arduino.inf", "DriverAddReg", 0, 5, "*ntkern"},
    {"arduino quoted comma", "arduino.inf", "DriverAddReg", 2, 5, "MsPorts.dll,SerialPortPropPageProvider"},
    {"arduino drivers dirid", "arduino.inf", "DriverService", 4, 1, "C:\\WINDOWS\\system32\\drivers\\usbser.sys"},
    {"arduino no source files", "arduino.inf", "SourceDisksFiles", 0, 0, nullptr},
    // Undecorated manufacturer, inline comments, single-field lines.
    {"blackmagic manufacturer key", "blackmagic.inf", "Manufacturer", 0, 0, "Black Sphere Technologies"},
    {"blackmagic models name", "blackmagic.inf", "Manufacturer", 0, 1, "BlackSphereDeviceList"},
    {"blackmagic no decoration", "blackmagic.inf", "Manufacturer", 0, 2, nullptr},
    {"blackmagic second hardware id", "blackmagic.inf", "BlackSphereDeviceList", 1, 2, "USB\\VID_0483&PID_5740&MI_02"},
    {"blackmagic value before comment", "blackmagic.inf", "BlackSphereService", 1, 1, "1"},
    {"blackmagic windows dirid", "blackmagic.inf", "BlackSphereService", 4, 1,
     "C:\\WINDOWS\\System32\\Drivers\\usbser.sys"},
    {"blackmagic single field", "blackmagic.inf", "BlackSphereCopyFiles", 0, 1, "usbser.sys"},
    {"blackmagic single field has no key", "blackmagic.inf", "BlackSphereCopyFiles", 0, 0, nullptr},
    {"blackmagic destination subfolder", "blackmagic.inf", "DestinationDirs", 0, 2, "System32\\Drivers"},
    // Empty [SourceDisksFiles], several IDs per models line, keyless line.
    {"cdc empty source files", "linux-cdc-acm.inf", "SourceDisksFiles", 0, 0, nullptr},
    {"cdc manufacturer key", "linux-cdc-acm.inf", "Manufacturer", 0, 0, "Linux Developer Community"},
    {"cdc models name", "linux-cdc-acm.inf", "Manufacturer", 0, 1, "DeviceList"},
    {"cdc first hardware id", "linux-cdc-acm.inf", "DeviceList", 0, 2, "USB\\VID_0525&PID_A4A7"},
    {"cdc further hardware id", "linux-cdc-acm.inf", "DeviceList", 0, 4, "USB\\VID_1D6B&PID_0106&MI_00"},
    {"cdc keyless line key", "linux-cdc-acm.inf", "DriverCopyFiles.nt", 0, 0, nullptr},
    {"cdc keyless line first field", "linux-cdc-acm.inf", "DriverCopyFiles.nt", 0, 1, "usbser.sys"},
    {"cdc keyless line flags", "linux-cdc-acm.inf", "DriverCopyFiles.nt", 0, 4, "0x20"},
    {"cdc service binary", "linux-cdc-acm.inf", "DriverService.nt", 4, 1, "C:\\WINDOWS\\system32\\drivers\\USBSER.sys"},
    // Star keys, empty middle fields, many [Strings.<LangID>] sections, UTF-8 bytes without mark.
    {"reactos manufacturer key", "reactos_ports.inf", "Manufacturer", 0, 0, "(Standard ports)"},
    {"reactos models name", "reactos_ports.inf", "Manufacturer", 0, 1, "StdMfg"},
    {"reactos star string key", "reactos_ports.inf", "StdMfg", 0, 0, "Serial communication port"},
    {"reactos star hardware id", "reactos_ports.inf", "StdMfg", 0, 2, "*PNP0500"},
    {"reactos second id", "reactos_ports.inf", "StdMfg", 0, 3, "*PNP0501"},
    {"reactos lpt line", "reactos_ports.inf", "StdMfg", 3, 0, "ECP printer port"},
    {"reactos empty middle field", "reactos_ports.inf", "PortsClass.NT.AddReg", 0, 2, ""},
    {"reactos class name", "reactos_ports.inf", "PortsClass.NT.AddReg", 0, 5, "Serial and parallel ports"},
    {"reactos commented signature ignored", "reactos_ports.inf", "Version", 1, 0, "LayoutFile"},
    {"reactos language section raw bytes", "reactos_ports.inf", "Strings.0407", 0, 1,
     "Serielle und parallele Anschl\xC3\xBCsse"},
};

INSTANTIATE_TEST_SUITE_P(Published, RealInf, ::testing::ValuesIn(kFixtureCases),
                         [](const ::testing::TestParamInfo<FixtureCase>& info) {
                             std::string name = info.param.description;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST_F(RealInf, OpenWin4_AllPublishedInfsAccepted) {
    for (const char* file :
         {"android_winusb.inf", "arduino.inf", "blackmagic.inf", "linux-cdc-acm.inf", "reactos_ports.inf"}) {
        if (!OpenFixture(file)) GTEST_SKIP() << "fixture missing: " << file;
        EXPECT_NE(inf_, INVALID_HANDLE_VALUE) << file << ": error " << GetLastError() << " line " << errorLine_;
        if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
        inf_ = INVALID_HANDLE_VALUE;
    }
}

TEST_F(RealInf, LineCount_EmptySourceDisksFilesHasNoLines) {
    if (!OpenFixture("linux-cdc-acm.inf")) GTEST_SKIP();
    ASSERT_NE(inf_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines("SourceDisksFiles"), 0);
    EXPECT_EQ(Lines("DeviceList"), 1);
}

}  // namespace
}  // namespace win32test
