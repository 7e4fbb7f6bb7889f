// Package analysis and file removal: which INFs match, what is deleted, and each log line.
#include "sweeper_run.h"

using machine::PackageInf;

namespace {

const char kInfPath[] = "C:\\WINDOWS\\inf\\oem7.inf";
const char kDriverPath[] = "C:\\WINDOWS\\system32\\drivers\\corvid.sys";

std::string Models(const std::string& line) { return "%Port%=DiagInstall, " + line; }

class PackageTest : public SweeperMachineTest {
protected:
    void Install(const std::string& infText) {
        machine_.WriteFile("WINDOWS/inf/oem7.inf", infText);
        machine_.WriteFile("WINDOWS/inf/oem7.PNF", "pnf");
        machine_.WriteFile("WINDOWS/system32/drivers/corvid.sys", "driver image");
    }
    bool InfLeft() const { return machine_.Exists("WINDOWS/inf/oem7.inf"); }
    bool PnfLeft() const { return machine_.Exists("WINDOWS/inf/oem7.PNF"); }
    bool DriverLeft() const { return machine_.Exists("WINDOWS/system32/drivers/corvid.sys"); }
};

// --- Which packages match, and what goes -------------------------------------------------------

struct PackageCase {
    const char* description;
    std::string inf;
    bool found;                           // the INF's path is logged and its removal tried
    std::vector<std::string> logLines;    // log lines after the path
    bool driverDeleted;
    bool packageDeleted;                  // INF and PNF
};

void PrintTo(const PackageCase& c, std::ostream* os) { *os << c.description; }

class PackageCaseTest : public PackageTest, public ::testing::WithParamInterface<PackageCase> {};

TEST_P(PackageCaseTest, AnalyzeAndRemove_FollowTheInf) {
    const PackageCase& c = GetParam();
    Install(c.inf);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    std::vector<std::string> expected;
    if (c.found) {
        expected.push_back(kInfPath);
        expected.insert(expected.end(), c.logLines.begin(), c.logLines.end());
    }
    EXPECT_EQ(r.log, CrLfLines(expected));
    EXPECT_EQ(DriverLeft(), !c.driverDeleted);
    EXPECT_EQ(InfLeft(), !c.packageDeleted);
    EXPECT_EQ(PnfLeft(), !c.packageDeleted);
}

const std::vector<std::string> kCorvidFiles{"corvid.sys=1", "other.sys=1"};

INSTANTIATE_TEST_SUITE_P(
    Infs, PackageCaseTest,
    ::testing::Values(
        PackageCase{"matching_package", machine::CorvidPackageInf(), true, {"driver corvid.sys"}, true, true},
        PackageCase{"other_vendor", machine::OtherVendorInf(), false, {}, false, false},
        PackageCase{"match_on_a_later_line",
                    PackageInf("%Mfg%=Zelvik", "Zelvik",
                               {Models("USB\\VID_1234&PID_0001"), "%Port%=DiagInstall", "NoKeyLine",
                                Models("USB\\VID_3759&PID_0009")},
                               "SourceDisksFiles", kCorvidFiles),
                    true, {"driver corvid.sys"}, true, true},
        PackageCase{"vendor_only_in_field_three",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_1234&PID_0001, USB\\VID_3759&PID_0002")},
                               "SourceDisksFiles", kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"mixed_case_vendor_text",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\Vid_3759&Pid_0002")}, "SourceDisksFiles",
                               kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"longer_vendor_number_still_contains_the_text",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_37590&PID_0001")}, "SourceDisksFiles",
                               kCorvidFiles),
                    true, {"driver corvid.sys"}, true, true},
        PackageCase{"first_models_line_without_field_two",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=DiagInstall", Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles", kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"only_first_manufacturer_counts",
                    PackageInf("%Mfg%=Tarvos\r\n%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles", kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"decorated_plain_manufacturer_uses_undecorated_section",
                    PackageInf("%Mfg%=Zelvik, NTx86", "Zelvik", {Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles", kCorvidFiles),
                    true, {"driver corvid.sys"}, true, true},
        PackageCase{"decorated_plain_manufacturer_with_only_decorated_section",
                    PackageInf("%Mfg%=Zelvik, NTx86", "Zelvik.NTx86", {Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles", kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"google_style_keeps_driver_file",
                    PackageInf("%Mfg%=Google, NTx86, NTamd64", "Google.NTx86", {Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles", kCorvidFiles),
                    true, {}, false, true},
        PackageCase{"google_in_other_letter_case_keeps_section_case",
                    PackageInf("%Mfg%=gOOgle, NTx86", "gOOgle.NTx86", {Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles.x86", {"corvid.sys=1"}),
                    true, {}, false, true},
        PackageCase{"google_reads_only_the_first_decoration",
                    PackageInf("%Mfg%=Google, NTx86, NTamd64", "Google.NTamd64", {Models("USB\\VID_3759&PID_0001")},
                               "SourceDisksFiles", kCorvidFiles) +
                        "[Google]\r\n" + Models("USB\\VID_3759&PID_0001") + "\r\n[Google.NTx86]\r\n" +
                        Models("USB\\VID_18D1&PID_4E42") + "\r\n",
                    false, {}, false, false},
        PackageCase{"google_without_decoration_is_skipped",
                    PackageInf("%Mfg%=GOOGLE", "GOOGLE", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"models_section_missing",
                    PackageInf("%Mfg%=Zelvik", "Elsewhere", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"empty_models_section_name",
                    PackageInf("%Mfg%=", "Zelvik", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               kCorvidFiles),
                    false, {}, false, false},
        PackageCase{"not_a_windows_4_inf",
                    "[Manufacturer]\r\n%Mfg%=Zelvik\r\n[Zelvik]\r\n" + Models("USB\\VID_3759&PID_0001") +
                        "\r\n[SourceDisksFiles]\r\ncorvid.sys=1\r\n",
                    false, {}, false, false},
        PackageCase{"only_decorated_source_files_section",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles.x86",
                               kCorvidFiles),
                    true, {"analyze inf fail:Can't find Sourcefile"}, false, false},
        PackageCase{"source_files_line_without_key",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               {"corvid.sys", "other.sys=1"}),
                    true, {"analyze inf fail:Can't find driver name"}, false, false},
        PackageCase{"only_first_source_file_is_deleted",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               {"corvid.sys=1", "corvid.sys=2"}),
                    true, {"driver corvid.sys"}, true, true},
        PackageCase{"driver_name_with_a_folder_is_refused",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               {"..\\drivers\\corvid.sys=1"}),
                    true,
                    {"driver ..\\drivers\\corvid.sys",
                     "Delete file error C:\\WINDOWS\\system32\\drivers\\..\\drivers\\corvid.sys:123"},
                    false, true},
        PackageCase{"driver_name_with_wildcards_is_refused",
                    PackageInf("%Mfg%=Zelvik", "Zelvik", {Models("USB\\VID_3759&PID_0001")}, "SourceDisksFiles",
                               {"*.sys=1"}),
                    true, {"driver *.sys", "Delete file error C:\\WINDOWS\\system32\\drivers\\*.sys:123"}, false,
                    true}),
    [](const ::testing::TestParamInfo<PackageCase>& info) { return std::string(info.param.description); });

// --- Driver, INF and PNF deletion ---------------------------------------------------------------

TEST_F(PackageTest, RemoveDriverFiles_DriverAlreadyGoneIsPassedOverSilently) {
    Install(machine::CorvidPackageInf());
    std::filesystem::remove(machine_.HostPath("WINDOWS/system32/drivers/corvid.sys"));

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys"}));
    EXPECT_FALSE(InfLeft());
    EXPECT_FALSE(PnfLeft());
}

TEST_F(PackageTest, RemoveDriverFiles_MissingDriversFolderIsPassedOverSilently) {
    Install(machine::CorvidPackageInf());
    std::filesystem::remove_all(machine_.HostPath("WINDOWS/system32"));

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys"}));
    EXPECT_FALSE(InfLeft());
}

TEST_F(PackageTest, RemoveDriverFiles_ReadOnlyDriverIsLoggedAndTheRestStillGoes) {
    Install(machine::CorvidPackageInf());
    machine_.SetReadOnly("WINDOWS/system32/drivers/corvid.sys", true);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys", std::string("Delete file error ") + kDriverPath + ":5"}));
    EXPECT_TRUE(DriverLeft());
    EXPECT_FALSE(InfLeft());
    EXPECT_FALSE(PnfLeft());
}

TEST_F(PackageTest, RemoveDriverFiles_ReadOnlyPnfIsLoggedWithoutBlankBeforeThePath) {
    Install(machine::CorvidPackageInf());
    machine_.SetReadOnly("WINDOWS/inf/oem7.PNF", true);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys", "Delete file errorC:\\WINDOWS\\inf\\oem7.PNF:5"}));
    EXPECT_FALSE(DriverLeft());
    EXPECT_FALSE(InfLeft());
    EXPECT_TRUE(PnfLeft());
}

TEST_F(PackageTest, RemoveDriverFiles_InfThatCannotBeDeletedIsLoggedAndThePnfStillGoes) {
    Install(machine::CorvidPackageInf());
    SweeperRunOptions options;
    options.faults = "DeleteFileA=32:1:1";  // the driver goes, the INF fails, the PNF goes

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys", std::string("Delete file error") + kInfPath + ":32"}));
    EXPECT_FALSE(DriverLeft());
    EXPECT_TRUE(InfLeft());
    EXPECT_FALSE(PnfLeft());
}

TEST_F(PackageTest, RemoveDriverFiles_PnfNameIsUpperCaseWhateverTheInfCase) {
    machine_.WriteFile("WINDOWS/inf/oemA.inf", machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oemA.pnf", "pnf");  // found without regard to case
    machine_.WriteFile("WINDOWS/inf/oemB.inf/oem3.inf", machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oemB.inf/oem3.PNF", "pnf");
    machine_.SetReadOnly("WINDOWS/inf/oemB.inf/oem3.PNF", true);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oemA.inf", "driver corvid.sys", "C:\\WINDOWS\\inf\\oemB.inf\\oem3.inf",
                                "driver corvid.sys", "Delete file errorC:\\WINDOWS\\inf\\oemB.inf\\oem3.PNF:5"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oemA.pnf"));
}

TEST_F(PackageTest, RemoveDriverFiles_InfWithoutExtensionLosesItsLastThreeLettersForThePnf) {
    machine_.WriteFile("WINDOWS/inf/oeminf", machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oemPNF", "pnf");

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oeminf", "driver corvid.sys"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oeminf"));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oemPNF"));
}

TEST_F(PackageTest, RemoveDriverFiles_FailedSystemDirectoryQueryTouchesNoDriverFile) {
    Install(machine::CorvidPackageInf());
    machine_.WriteFile("drivers/corvid.sys", "an unrelated file at the root");
    SweeperRunOptions options;
    options.faults = "GetSystemDirectoryA=31";

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys", "Delete file error \\drivers\\corvid.sys:31"}));
    EXPECT_TRUE(DriverLeft());
    EXPECT_TRUE(machine_.Exists("drivers/corvid.sys"));
    EXPECT_FALSE(InfLeft());
    EXPECT_FALSE(PnfLeft());
}

TEST_F(PackageTest, RemoveDriverFiles_AnotherVendorsPackageBesideIsUntouched) {
    Install(machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oem3.inf", machine::OtherVendorInf());
    machine_.WriteFile("WINDOWS/inf/oem3.PNF", "pnf");
    machine_.WriteFile("WINDOWS/system32/drivers/usbser.sys", "driver image");

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys"}));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem3.inf"));
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem3.PNF"));
    EXPECT_TRUE(machine_.Exists("WINDOWS/system32/drivers/usbser.sys"));
}

TEST_F(PackageTest, RemoveDriverFiles_SameDriverNamedByTwoPackagesIsDeletedOnce) {
    Install(machine::CorvidPackageInf());
    machine_.WriteFile("WINDOWS/inf/oem8.inf", machine::CorvidPackageInf());

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver corvid.sys", "C:\\WINDOWS\\inf\\oem8.inf", "driver corvid.sys"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem8.inf"));
}

}  // namespace
