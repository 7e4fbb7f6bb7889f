// The main flow: the order of work, the candidate scan, the log and console lines, exit codes.
#include <fstream>

#include "sweeper_run.h"

using machine::Device;

namespace {

const char kInf[] = "WINDOWS/inf/";
const char kDrivers[] = "WINDOWS/system32/drivers/";

class FlowTest : public SweeperMachineTest {
protected:
    void InstallCorvidPackage(const std::string& infName) {
        machine_.WriteFile(kInf + infName, machine::CorvidPackageInf());
        machine_.WriteFile(std::string(kDrivers) + "corvid.sys", "driver image");
    }
};

TEST_F(FlowTest, Run_TypicalMachineGivesTheDocumentedLogAndConsole) {
    InstallCorvidPackage("oem7.inf");
    machine_.WriteFile("WINDOWS/inf/oem7.PNF", "pnf");
    machine_.WriteDevices({
        {"ACPI\\PNP0A03\\0", true, {"ACPI\\PNP0A03"}},
        {"PCI\\VEN_8086&DEV_7113\\3&0", true, {"PCI\\VEN_8086&DEV_7113"}},
        {"USB\\VID_3759&PID_0001\\5&1", true, {"USB\\VID_3759&PID_0001"}},
        {"USB\\ROOT_HUB\\4&2", true, {"USB\\ROOT_HUB"}},
        {"ROOT\\LEGACY\\0000", true, {"ROOT\\LEGACY_BEEP"}},
    });

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log,
              "C:\\WINDOWS\\inf\\oem7.inf\r\n"
              "driver corvid.sys\r\n"
              "ACPI\\PNP0A03  PCI\\VEN_8086&DEV_7113  USB\\VID_3759&PID_0001  0\r\n"
              "USB\\ROOT_HUB  ROOT\\LEGACY_BEEP  ");
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.PNF"));
    EXPECT_FALSE(machine_.Exists("WINDOWS/system32/drivers/corvid.sys"));
    EXPECT_EQ(machine_.DeviceInstanceIds(),
              (std::vector<std::string>{"ACPI\\PNP0A03\\0", "PCI\\VEN_8086&DEV_7113\\3&0", "USB\\ROOT_HUB\\4&2",
                                        "ROOT\\LEGACY\\0000"}));
}

TEST_F(FlowTest, Run_WritesTheLogInTheCurrentDirectoryNotBesideTheProgram) {
    const SweeperResult r = Run();
    ExpectCleanExit(r);
    EXPECT_TRUE(r.logExists);
    EXPECT_EQ(r.log, "");
}

TEST_F(FlowTest, Run_EmptiesAnExistingLogFirst) {
    std::ofstream(work_ / "Rlog.txt") << std::string(5000, 'x') << "\n";
    machine_.WriteDevices({{"ACPI\\PNP0A03\\0", true, {"ACPI\\PNP0A03"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "ACPI\\PNP0A03  ");
}

TEST_F(FlowTest, Run_WithoutCandidatesShowsOnlyTheDeviceWalk) {
    machine_.WriteFile("WINDOWS/inf/usb.inf", machine::CorvidPackageInf());
    machine_.WriteDevices({{"ACPI\\PNP0A03\\0", true, {"ACPI\\PNP0A03", "*PNP0A03"}},
                           {"PCI\\VEN_1\\0", false, {"PCI\\VEN_1"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "ACPI\\PNP0A03  *PNP0A03  PCI\\VEN_1  ");
    EXPECT_EQ(r.console, ConsoleFor({}));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/usb.inf"));
}

TEST_F(FlowTest, Run_IgnoresCommandLineArguments) {
    InstallCorvidPackage("oem7.inf");
    SweeperRunOptions options;
    options.arguments = {"/q", "--help", "C:\\elsewhere"};

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem7.inf", "driver corvid.sys"}));
    EXPECT_EQ(r.console, ConsoleFor({}));
}

TEST_F(FlowTest, Run_MissingWindowsDirectoryStopsWithExitCodeOne) {
    std::filesystem::remove_all(machine_.HostPath("WINDOWS"));
    machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", true, {"USB\\VID_3759&PID_0001"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r, 1);
    EXPECT_EQ(r.log, "GetWindowsDirectory error:3\r\n");
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(machine_.DeviceInstanceIds(), std::vector<std::string>{"USB\\VID_3759&PID_0001\\1"});
}

TEST_F(FlowTest, Run_NoSystemDriveStopsWithExitCodeOne) {
    SweeperRunOptions options;
    options.setWinRoot = false;

    const SweeperResult r = Run(options);

    ExpectCleanExit(r, 1);
    EXPECT_EQ(r.log, "GetWindowsDirectory error:3\r\n");
    EXPECT_EQ(r.console, "");
}

TEST_F(FlowTest, Run_FailedWindowsDirectoryQueryLogsItsCode) {
    InstallCorvidPackage("oem7.inf");
    SweeperRunOptions options;
    options.faults = "GetWindowsDirectoryA=5";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r, 1);
    EXPECT_EQ(r.log, "GetWindowsDirectory error:5\r\n");
    EXPECT_EQ(r.console, "");
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

TEST_F(FlowTest, Run_FailedClassLibraryInitialisationStillDoesTheWorkAndExitsOne) {
    InstallCorvidPackage("oem7.inf");
    machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", true, {"USB\\VID_3759&PID_0001"}}});
    SweeperRunOptions options;
    options.faults = "AfxWinInit=8";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r, 1);
    EXPECT_EQ(r.console, "Fatal Error: MFC initialization failed\r\n" + ConsoleFor({"USB\\VID_3759&PID_0001"}));
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem7.inf", "driver corvid.sys", "USB\\VID_3759&PID_0001  0"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
    EXPECT_TRUE(machine_.DeviceInstanceIds().empty());
}

TEST_F(FlowTest, Run_LogThatCannotBeOpenedLosesOnlyTheLog) {
    InstallCorvidPackage("oem7.inf");
    machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", true, {"USB\\VID_3759&PID_0001"}}});
    std::filesystem::create_directory(work_ / "Rlog.txt");  // a folder in the log's place

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
    EXPECT_FALSE(machine_.Exists("WINDOWS/system32/drivers/corvid.sys"));
    EXPECT_TRUE(machine_.DeviceInstanceIds().empty());
}

TEST_F(FlowTest, Run_InjectedLogOpenFailureLosesOnlyTheLog) {
    InstallCorvidPackage("oem7.inf");
    SweeperRunOptions options;
    options.faults = "ofstream::open=5";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.console, ConsoleFor({}));
    EXPECT_EQ(r.log, "");
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

// --- The INF-name filter -------------------------------------------------------------------------

struct NameCase {
    const char* description;
    const char* fileName;
    bool candidate;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.description; }

class NameFilterTest : public FlowTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameFilterTest, Scan_TakesOnlyExactOemInfNames) {
    const NameCase& c = GetParam();
    InstallCorvidPackage(c.fileName);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    if (c.candidate) {
        EXPECT_EQ(r.log, CrLfLines({std::string("C:\\WINDOWS\\inf\\") + c.fileName, "driver corvid.sys"}));
        EXPECT_FALSE(machine_.Exists(kInf + std::string(c.fileName)));
    } else {
        EXPECT_EQ(r.log, "");
        EXPECT_TRUE(machine_.Exists(kInf + std::string(c.fileName)));
        EXPECT_TRUE(machine_.Exists("WINDOWS/system32/drivers/corvid.sys"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameFilterTest,
    ::testing::Values(NameCase{"plain", "oem12.inf", true}, NameCase{"all_upper", "OEM12.INF", false},
                      NameCase{"capital_o", "Oem12.inf", false}, NameCase{"upper_extension", "oem12.INF", false},
                      NameCase{"no_dot", "oeminf", true}, NameCase{"pnf", "oem12.pnf", false},
                      NameCase{"prefix_elsewhere", "xoem12.inf", false}, NameCase{"short", "oe", false},
                      NameCase{"just_oem", "oem", false}, NameCase{"other_suffix", "oem12.infx", false}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.description); });

// --- Read-only attributes and folders ----------------------------------------------------------------

TEST_F(FlowTest, Scan_ClearsReadOnlyOfAnotherVendorsInfAndKeepsIt) {
    machine_.WriteFile("WINDOWS/inf/oem9.inf", machine::OtherVendorInf());
    machine_.SetReadOnly("WINDOWS/inf/oem9.inf", true);
    machine_.WriteFile("WINDOWS/inf/usb.inf", machine::OtherVendorInf());
    machine_.SetReadOnly("WINDOWS/inf/usb.inf", true);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "");
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem9.inf"));
    EXPECT_FALSE(machine_.IsReadOnly("WINDOWS/inf/oem9.inf"));
    EXPECT_TRUE(machine_.IsReadOnly("WINDOWS/inf/usb.inf"));  // not a candidate: left alone
}

TEST_F(FlowTest, Scan_ReadOnlyMatchingInfIsClearedAndDeleted) {
    InstallCorvidPackage("oem7.inf");
    machine_.SetReadOnly("WINDOWS/inf/oem7.inf", true);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem7.inf", "driver corvid.sys"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

TEST_F(FlowTest, Scan_AttributesThatCannotBeReadLeaveTheCandidateListed) {
    InstallCorvidPackage("oem7.inf");
    SweeperRunOptions options;
    options.faults = "GetFileAttributesA=5";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem7.inf", "driver corvid.sys"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

TEST_F(FlowTest, Scan_SearchesFoldersNamedLikeAnInfInPlace) {
    // NTFS order: oem1.inf, oemcache.inf (folder, searched at once), oemz.inf.
    InstallCorvidPackage("oem1.inf");
    machine_.WriteFile("WINDOWS/inf/oemcache.inf/oem5.inf", machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oemcache.inf/oem5.PNF", "pnf");
    machine_.WriteFile("WINDOWS/inf/oemz.inf", machine::CorvidPackageInf());

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem1.inf", "driver corvid.sys",
                                "C:\\WINDOWS\\inf\\oemcache.inf\\oem5.inf", "driver corvid.sys",
                                "C:\\WINDOWS\\inf\\oemz.inf", "driver corvid.sys"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oemcache.inf/oem5.inf"));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oemcache.inf/oem5.PNF"));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oemcache.inf"));
}

TEST_F(FlowTest, Scan_DoesNotSearchFoldersWhoseNameFailsTheFilter) {
    machine_.WriteFile("WINDOWS/inf/cache/oem5.inf", machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oemcache/oem6.inf", machine::CorvidPackageInf());

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "");
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/cache/oem5.inf"));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oemcache/oem6.inf"));
}

TEST_F(FlowTest, Scan_MissingInfFolderStillRunsDeviceRemoval) {
    std::filesystem::remove_all(machine_.HostPath("WINDOWS/inf"));
    machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", true, {"USB\\VID_3759&PID_0001"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "USB\\VID_3759&PID_0001  0\r\n");
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001"}));
}

TEST_F(FlowTest, Scan_FailedSearchLeavesNoCandidates) {
    InstallCorvidPackage("oem7.inf");
    SweeperRunOptions options;
    options.faults = "FindFirstFileA=5";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.console, ConsoleFor({}));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

TEST_F(FlowTest, Scan_SearchEndingEarlyKeepsTheEntryItMovedTo) {
    // The third FindNextFileA fails: the finder has moved past "." and ".." to oem1.inf, which stays valid.
    InstallCorvidPackage("oem1.inf");
    machine_.WriteFile("WINDOWS/inf/oem2.inf", machine::CorvidPackageInf());
    SweeperRunOptions options;
    options.faults = "FindNextFileA=31:2";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem1.inf", "driver corvid.sys"}));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem2.inf"));
}

}  // namespace

namespace {

TEST_F(SweeperMachineTest, DemoMachine_RunRemovesOnlyTheProductsPackagesAndDevices) {
    std::filesystem::remove_all(machine_.Root());
    machine::BuildDemoMachine(machine_);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001&REV_0100", "USB\\VID_3759&PID_0001",
                                     "USB\\Vid_3759&Pid_0002"}));
    EXPECT_EQ(r.log,
              "C:\\WINDOWS\\inf\\oem11.inf\r\n"
              "C:\\WINDOWS\\inf\\oem7.inf\r\n"
              "driver corvid.sys\r\n"
              "ACPI\\PNP0A03  *PNP0A03  PCI\\VEN_8086&DEV_7113&SUBSYS_00000000&REV_03  PCI\\VEN_8086&DEV_7113  "
              "USB\\VID_3759&PID_0001&REV_0100  0\r\n"
              "USB\\VID_3759&PID_0001  3758096907\r\n"
              "USB\\VID_0483&PID_5740&REV_0200  USB\\VID_0483&PID_5740  USB\\Vid_3759&Pid_0002  0\r\n"
              "USB\\ROOT_HUB  USB\\OTHER_HUB  ");
    for (const char* gone : {"WINDOWS/inf/oem7.inf", "WINDOWS/inf/oem7.PNF", "WINDOWS/inf/oem11.inf",
                             "WINDOWS/inf/oem11.PNF", "WINDOWS/system32/drivers/corvid.sys"})
        EXPECT_FALSE(machine_.Exists(gone)) << gone;
    for (const char* kept : {"WINDOWS/inf/oem3.inf", "WINDOWS/inf/oem3.PNF", "WINDOWS/inf/oem9.inf", "WINDOWS/inf/usb.inf",
                             "WINDOWS/inf/OEM2.INF", "WINDOWS/system32/drivers/usbser.sys",
                             "WINDOWS/system32/drivers/adbwinusb.sys"})
        EXPECT_TRUE(machine_.Exists(kept)) << kept;
    EXPECT_FALSE(machine_.IsReadOnly("WINDOWS/inf/oem9.inf"));
    EXPECT_EQ(machine_.DeviceInstanceIds().size(), 5u);
}

}  // namespace
