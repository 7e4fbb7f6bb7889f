// Device removal: which devices are removed, the run of IDs in the log, and the walk's failures.
#include "sweeper_run.h"

using machine::Device;

namespace {

// 0xE000020B: the device is no longer in the store.
const char kNoSuchDevinst[] = "3758096907";

class DevicesTest : public SweeperMachineTest {};

// --- Which IDs match -------------------------------------------------------------------------------

struct IdCase {
    const char* description;
    const char* hardwareId;
    bool removed;
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.description; }

class DeviceIdTest : public DevicesTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(DeviceIdTest, RemoveDevices_MatchesVendorTextAsCaseSensitiveSubstring) {
    const IdCase& c = GetParam();
    machine_.WriteDevices({{"DEV\\0", true, {c.hardwareId}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    if (c.removed) {
        EXPECT_EQ(r.log, std::string(c.hardwareId) + "  0\r\n");
        EXPECT_EQ(r.console, ConsoleFor({c.hardwareId}));
        EXPECT_TRUE(machine_.DeviceInstanceIds().empty());
    } else {
        EXPECT_EQ(r.log, std::string(c.hardwareId) + "  ");
        EXPECT_EQ(r.console, ConsoleFor({}));
        EXPECT_EQ(machine_.DeviceInstanceIds(), std::vector<std::string>{"DEV\\0"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, DeviceIdTest,
    ::testing::Values(IdCase{"upper_case", "USB\\VID_3759&PID_0001", true},
                      IdCase{"mixed_case", "USB\\Vid_3759&Pid_0001", true},
                      IdCase{"lower_case", "USB\\vid_3759&pid_0001", false},
                      IdCase{"longer_vendor_number", "USB\\VID_37590&PID_0001", true},
                      IdCase{"other_bus", "HID\\VID_3759&PID_0001&MI_00", true},
                      IdCase{"other_vendor", "USB\\VID_0483&PID_5740", false},
                      IdCase{"vendor_number_as_product", "USB\\VID_0483&PID_3759", false}),
    [](const ::testing::TestParamInfo<IdCase>& info) { return std::string(info.param.description); });

// --- The walk --------------------------------------------------------------------------------------

TEST_F(DevicesTest, RemoveDevices_TwoMatchingIdsSendTwoRequests) {
    machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", true,
                            {"USB\\VID_3759&PID_0001&REV_0100", "USB\\OTHER", "USB\\VID_3759&PID_0001"}},
                           {"ACPI\\PNP0A03\\0", true, {"ACPI\\PNP0A03"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "USB\\VID_3759&PID_0001&REV_0100  0\r\nUSB\\OTHER  USB\\VID_3759&PID_0001  " +
                         std::string(kNoSuchDevinst) + "\r\nACPI\\PNP0A03  ");
    EXPECT_EQ(r.console, ConsoleFor({"USB\\VID_3759&PID_0001&REV_0100", "USB\\VID_3759&PID_0001"}));
    EXPECT_EQ(machine_.DeviceInstanceIds(), std::vector<std::string>{"ACPI\\PNP0A03\\0"});
}

TEST_F(DevicesTest, RemoveDevices_AbsentDeviceIsRemovedToo) {
    machine_.WriteDevices({{"USB\\VID_3759&PID_0001\\1", false, {"USB\\VID_3759&PID_0001"}},
                           {"USB\\VID_3759&PID_0002\\2", true, {"USB\\VID_3759&PID_0002"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "USB\\VID_3759&PID_0001  0\r\nUSB\\VID_3759&PID_0002  0\r\n");
    EXPECT_TRUE(machine_.DeviceInstanceIds().empty());
}

TEST_F(DevicesTest, RemoveDevices_DeviceWithoutIdsWritesNothing) {
    machine_.WriteDevices({{"ROOT\\LEGACY\\0", true, {}},
                           {"USB\\VID_3759&PID_0001\\1", true, {"USB\\VID_3759&PID_0001"}},
                           {"ROOT\\LEGACY\\1", false, {}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "USB\\VID_3759&PID_0001  0\r\n");
    EXPECT_EQ(machine_.DeviceInstanceIds(), (std::vector<std::string>{"ROOT\\LEGACY\\0", "ROOT\\LEGACY\\1"}));
}

TEST_F(DevicesTest, RemoveDevices_NoMatchLeavesOneUnbrokenRunOfIds) {
    machine_.WriteDevices({{"A\\0", true, {"ACPI\\PNP0A03", "*PNP0A03"}},
                           {"B\\0", false, {"PCI\\VEN_8086&DEV_7113"}},
                           {"C\\0", true, {"USB\\ROOT_HUB"}}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "ACPI\\PNP0A03  *PNP0A03  PCI\\VEN_8086&DEV_7113  USB\\ROOT_HUB  ");
    EXPECT_EQ(r.console, ConsoleFor({}));
    EXPECT_EQ(machine_.DeviceInstanceIds().size(), 3u);
}

TEST_F(DevicesTest, RemoveDevices_NoDeviceStoreGivesAnEmptyWalk) {
    const SweeperResult r = Run();

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.console, ConsoleFor({}));
}

TEST_F(DevicesTest, RemoveDevices_LongIdListIsReadWhole) {
    std::vector<std::string> ids;
    for (int i = 0; i < 200; i++) ids.push_back("USB\\VID_1234&PID_" + std::to_string(1000 + i));
    ids.push_back("USB\\VID_3759&PID_0001");
    machine_.WriteDevices({{"DEV\\0", true, ids}});

    const SweeperResult r = Run();

    ExpectCleanExit(r);
    std::string expected;
    for (size_t i = 0; i + 1 < ids.size(); i++) expected += ids[i] + "  ";
    expected += "USB\\VID_3759&PID_0001  0\r\n";
    EXPECT_EQ(r.log, expected);
}

// --- Failures ---------------------------------------------------------------------------------------

struct WalkFaultCase {
    const char* description;
    const char* faults;
    std::string log;
    std::vector<std::string> removed;   // console removals
    std::vector<std::string> devicesLeft;
};

void PrintTo(const WalkFaultCase& c, std::ostream* os) { *os << c.description; }

class WalkFaultTest : public DevicesTest, public ::testing::WithParamInterface<WalkFaultCase> {};

TEST_P(WalkFaultTest, RemoveDevices_FailuresAreLoggedAndKeepTheExitCode) {
    const WalkFaultCase& c = GetParam();
    machine_.WriteDevices({{"DEV\\0", true, {"USB\\VID_3759&PID_0001"}},
                           {"DEV\\1", true, {"ACPI\\PNP0A03"}},
                           {"DEV\\2", true, {"USB\\Vid_3759&Pid_0002"}}});
    SweeperRunOptions options;
    options.faults = c.faults;

    const SweeperResult r = Run(options);

    ExpectCleanExit(r);
    EXPECT_EQ(r.log, c.log);
    EXPECT_EQ(r.console, ConsoleFor(c.removed));
    EXPECT_EQ(machine_.DeviceInstanceIds(), c.devicesLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WalkFaultTest,
    ::testing::Values(
        WalkFaultCase{"set_cannot_be_created", "SetupDiGetClassDevsA=8", "", {}, {"DEV\\0", "DEV\\1", "DEV\\2"}},
        WalkFaultCase{"enumeration_error_after_first_device",
                      "SetupDiEnumDeviceInfo=31:1:1",
                      "USB\\VID_3759&PID_0001  0\r\nenum device err :31\r\n",
                      {"USB\\VID_3759&PID_0001"},
                      {"DEV\\1", "DEV\\2"}},
        WalkFaultCase{"enumeration_ending_with_no_error", "SetupDiEnumDeviceInfo=0:2:1",
                      "USB\\VID_3759&PID_0001  0\r\nACPI\\PNP0A03  ", {"USB\\VID_3759&PID_0001"},
                      {"DEV\\1", "DEV\\2"}},
        WalkFaultCase{"property_read_fails_unexpectedly", "SetupDiGetDeviceRegistryPropertyA=31:2:1",
                      "USB\\VID_3759&PID_0001  0\r\nenum device err :31\r\n", {"USB\\VID_3759&PID_0001"},
                      {"DEV\\1", "DEV\\2"}},
        WalkFaultCase{"property_reported_missing_skips_the_device", "SetupDiGetDeviceRegistryPropertyA=13:0:1",
                      "ACPI\\PNP0A03  USB\\Vid_3759&Pid_0002  0\r\n", {"USB\\Vid_3759&Pid_0002"}, {"DEV\\0", "DEV\\1"}},
        WalkFaultCase{"allocation_fails", "LocalAlloc=8", "enum device err :8\r\n", {},
                      {"DEV\\0", "DEV\\1", "DEV\\2"}},
        WalkFaultCase{"allocation_fails_for_second_device", "LocalAlloc=14:1:1",
                      "USB\\VID_3759&PID_0001  0\r\nenum device err :14\r\n", {"USB\\VID_3759&PID_0001"},
                      {"DEV\\1", "DEV\\2"}},
        WalkFaultCase{"removal_request_fails", "SetupDiCallClassInstaller=5",
                      "USB\\VID_3759&PID_0001  5\r\nACPI\\PNP0A03  USB\\Vid_3759&Pid_0002  5\r\n",
                      {"USB\\VID_3759&PID_0001", "USB\\Vid_3759&Pid_0002"},
                      {"DEV\\0", "DEV\\1", "DEV\\2"}}),
    [](const ::testing::TestParamInfo<WalkFaultCase>& info) { return std::string(info.param.description); });

}  // namespace
