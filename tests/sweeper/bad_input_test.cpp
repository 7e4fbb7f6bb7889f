// Bad input never crashes the tool or loses its log: damaged INFs, a damaged device store, paths
// at and beyond the 260-character limit.
#include <random>

#include "sweeper_run.h"

using machine::PackageInf;

namespace {

const char kInfPath[] = "C:\\WINDOWS\\inf\\oem7.inf";

class BadInputTest : public SweeperMachineTest {
protected:
    void InstallInf(const std::string& name, const std::string& text) {
        machine_.WriteFile("WINDOWS/inf/" + name, text);
        machine_.WriteFile("WINDOWS/system32/drivers/corvid.sys", "driver image");
    }
    // A device after the INFs shows that the run went all the way through.
    void AddMatchingDevice() { machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", true, {"USB\\VID_3759&PID_0001"}}}); }
    static constexpr const char* kDeviceLog = "USB\\VID_3759&PID_0001  0\r\n";
};

// --- Damaged INFs -------------------------------------------------------------------------------

struct DamagedInfCase {
    const char* description;
    std::string inf;
    std::vector<std::string> logLines;  // before the device walk's output; empty: not a match
};

void PrintTo(const DamagedInfCase& c, std::ostream* os) { *os << c.description; }

class DamagedInfTest : public BadInputTest, public ::testing::WithParamInterface<DamagedInfCase> {};

TEST_P(DamagedInfTest, Run_DamagedInfGivesAClearOutcome) {
    const DamagedInfCase& c = GetParam();
    InstallInf("oem7.inf", c.inf);
    AddMatchingDevice();

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines(c.logLines) + kDeviceLog);
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001"}));
    // The package goes only when its driver line was read.
    const bool removed = c.logLines.size() == 2 && c.logLines[1].rfind("driver ", 0) == 0;
    EXPECT_EQ(machine_.Exists("WINDOWS/inf/oem7.inf"), !removed);
}

std::string Corvid() { return machine::CorvidPackageInf(); }

std::string CutAfter(const std::string& text, const std::string& marker) {
    return text.substr(0, text.find(marker) + marker.size());
}

std::string BinaryBytes() {
    std::mt19937 random(3759);
    std::string bytes;
    for (int i = 0; i < 4096; i++) bytes += static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string Utf16Le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char ch : ascii) {
        out += ch;
        out += '\0';
    }
    return out;
}

std::string HugeModels(int lines) {
    std::vector<std::string> models;
    for (int i = 0; i < lines; i++) models.push_back("%Port%=Install, USB\\VID_1234&PID_" + std::to_string(i));
    models.push_back("%Port%=Install, USB\\VID_3759&PID_0001");
    return PackageInf("%Mfg%=Zelvik", "Zelvik", models, "SourceDisksFiles", {"corvid.sys=1"});
}

INSTANTIATE_TEST_SUITE_P(
    Infs, DamagedInfTest,
    ::testing::Values(
        DamagedInfCase{"empty_file", "", {}},
        DamagedInfCase{"binary_bytes", BinaryBytes(), {}},
        DamagedInfCase{"binary_bytes_after_a_valid_start", CutAfter(Corvid(), "[Zelvik]\r\n") + BinaryBytes(), {}},
        DamagedInfCase{"truncated_inside_a_hardware_id", CutAfter(Corvid(), "USB\\VID_37"), {}},
        DamagedInfCase{"truncated_after_the_models_section", CutAfter(Corvid(), "PID_0002\r\n"),
                       {kInfPath, "analyze inf fail:Can't find Sourcefile"}},
        DamagedInfCase{"truncated_inside_a_section_name", CutAfter(Corvid(), "[SourceDisk"), {}},
        // The INF reader takes a NUL byte as the end of the text.
        DamagedInfCase{"nul_byte_ends_the_text",
                       PackageInf("%Mfg%=Zelvik", "Zelvik", {std::string("%Port%=Install, USB\\VID_3759\0&PID_1", 33)},
                                  "SourceDisksFiles", {"corvid.sys=1"}),
                       {kInfPath, "analyze inf fail:Can't find Sourcefile"}},
        DamagedInfCase{"unterminated_quote_in_strings",
                       PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=Install, USB\\VID_3759&PID_0001"},
                                  "SourceDisksFiles", {"corvid.sys=1"}) + "Broken=\"no end\r\n",
                       {kInfPath, "driver corvid.sys"}},
        DamagedInfCase{"unterminated_quote_in_the_hardware_id",
                       PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=Install, \"USB\\VID_3759&PID_0001"},
                                  "SourceDisksFiles", {"corvid.sys=1"}),
                       {kInfPath, "driver corvid.sys"}},
        // A quote left open runs to the line end, taking the "=" with it: the line has no key.
        DamagedInfCase{"unterminated_quote_in_the_driver_name",
                       PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=Install, USB\\VID_3759&PID_0001"},
                                  "SourceDisksFiles", {"\"corvid.sys=1"}),
                       {kInfPath, "analyze inf fail:Can't find driver name"}},
        DamagedInfCase{"utf16_package", Utf16Le(Corvid()), {kInfPath, "driver corvid.sys"}},
        DamagedInfCase{"huge_models_section", HugeModels(30000), {kInfPath, "driver corvid.sys"}},
        DamagedInfCase{"huge_hardware_id",
                       PackageInf("%Mfg%=Zelvik", "Zelvik",
                                  {"%Port%=Install, USB\\" + std::string(3000, 'X') + "VID_3759"}, "SourceDisksFiles",
                                  {"corvid.sys=1"}),
                       {kInfPath, "driver corvid.sys"}}),
    [](const ::testing::TestParamInfo<DamagedInfCase>& info) { return std::string(info.param.description); });

// --- Damaged device store ------------------------------------------------------------------------

TEST_F(BadInputTest, RemoveDevices_MalformedStoreLinesAreNotDevicesAndAreKept) {
    const std::string store =
        "# a comment\n"
        "\n"
        "no tab at all\n"
        "ONLYID\\0\n"
        "\tpresent\tUSB\\VID_3759&PID_0009\n"
        "WEIRD\\0\tmaybe\tUSB\\VID_3759&PID_0008\n"
        "GOOD\\0\tpresent\tUSB\\VID_3759&PID_0001\n"
        "EMPTYIDS\\0\tabsent\t\t\n"
        "CRLF\\0\tpresent\tACPI\\PNP0A03\r\n"
        "\x01\x02\xff\xfe\n";
    machine_.WriteDevicesText(store);

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001"}));
    EXPECT_EQ(r.log.rfind("USB\\VID_3759&PID_0001  0\r\n", 0), 0u) << r.log;
    const std::string left = machine_.ReadFile("devices.tsv");
    EXPECT_EQ(left.find("GOOD\\0"), std::string::npos);
    EXPECT_NE(left.find("WEIRD\\0\tmaybe\tUSB\\VID_3759&PID_0008"), std::string::npos);
    EXPECT_NE(left.find("\tpresent\tUSB\\VID_3759&PID_0009"), std::string::npos);
}

TEST_F(BadInputTest, RemoveDevices_BinaryStoreEndsCleanly) {
    machine_.WriteDevicesText(BinaryBytes());

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.console.rfind("Remove  begin....\r\n", 0), 0u);
    EXPECT_GE(r.console.size(), std::string("Remove  end...\r\n").size());
    EXPECT_EQ(r.console.substr(r.console.size() - 16), "Remove  end...\r\n");
}

// --- Paths at the 260-character limit ------------------------------------------------------------

// C:\WINDOWS\inf\ is 15 characters: a name of 244 gives a 259-character path, the longest allowed.
std::string OemName(size_t pathLength) { return "oem" + std::string(pathLength - 15 - 6, 'x') + "inf"; }

TEST_F(BadInputTest, Run_InfPathOf259CharactersIsRemoved) {
    const std::string name = OemName(259);
    InstallInf(name, Corvid());
    machine_.WriteFile("WINDOWS/inf/" + name.substr(0, name.size() - 3) + "PNF", "pnf");

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\" + name, "driver corvid.sys"}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/" + name));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/" + name.substr(0, name.size() - 3) + "PNF"));
    EXPECT_FALSE(machine_.Exists("WINDOWS/system32/drivers/corvid.sys"));
}

TEST_F(BadInputTest, Run_InfPathOf260CharactersOrMoreIsLeftAlone) {
    for (size_t length : {260u, 261u, 270u}) {
        InstallInf(OemName(length), Corvid());
        machine_.SetReadOnly("WINDOWS/inf/" + OemName(length), true);
    }

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "");
    for (size_t length : {260u, 261u, 270u}) EXPECT_TRUE(machine_.Exists("WINDOWS/inf/" + OemName(length)));
    EXPECT_TRUE(machine_.Exists("WINDOWS/system32/drivers/corvid.sys"));
}

TEST_F(BadInputTest, RemoveDriverFiles_DriverPathOf259CharactersIsDeleted) {
    // C:\WINDOWS\system32\drivers\ is 28 characters.
    const std::string driver = std::string(231 - 4, 'd') + ".sys";
    InstallInf("oem7.inf", PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=Install, USB\\VID_3759&PID_0001"},
                                      "SourceDisksFiles", {driver + "=1"}));
    machine_.WriteFile("WINDOWS/system32/drivers/" + driver, "driver image");

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver " + driver}));
    EXPECT_FALSE(machine_.Exists("WINDOWS/system32/drivers/" + driver));
}

TEST_F(BadInputTest, RemoveDriverFiles_DriverPathOf260CharactersIsReportedNotSkipped) {
    const std::string driver = std::string(232 - 4, 'd') + ".sys";
    InstallInf("oem7.inf", PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=Install, USB\\VID_3759&PID_0001"},
                                      "SourceDisksFiles", {driver + "=1"}));
    machine_.WriteFile("WINDOWS/system32/drivers/" + driver, "driver image");

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({kInfPath, "driver " + driver,
                                "Delete file error C:\\WINDOWS\\system32\\drivers\\" + driver + ":206"}));
    EXPECT_TRUE(machine_.Exists("WINDOWS/system32/drivers/" + driver));
    EXPECT_FALSE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

TEST_F(BadInputTest, Scan_DeepFoldersNamedLikeInfsEndAtThePathLimit) {
    std::string rel = "WINDOWS/inf";
    for (int depth = 0; depth < 40; depth++) rel += "/oem" + std::to_string(depth) + "xxxxxxx.inf";
    machine_.WriteFile(rel + "/oem1.inf", Corvid());
    machine_.WriteFile("WINDOWS/inf/oem0xxxxxxx.inf/oem7.inf", Corvid());

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, CrLfLines({"C:\\WINDOWS\\inf\\oem0xxxxxxx.inf\\oem7.inf", "driver corvid.sys"}));
    EXPECT_TRUE(machine_.Exists(rel + "/oem1.inf"));
}

}  // namespace
