// The device store seen through the Setup API device calls: enumeration, hardware IDs, removal.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "machine.h"
#include "setupapi.h"

namespace win32test {
namespace {

class Devices : public Machine {
protected:
    void TearDown() override {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
        Machine::TearDown();
    }

    HDEVINFO Open(DWORD flags = DIGCF_ALLCLASSES) {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
        set_ = SetupDiGetClassDevsA(NULL, NULL, NULL, flags);
        return set_;
    }

    static SP_DEVINFO_DATA Record() {
        SP_DEVINFO_DATA data{};
        data.cbSize = 28;
        return data;
    }

    // Hardware IDs of the device at index, read with the two-call pattern; "!" + error on failure.
    std::vector<std::string> Ids(DWORD index) {
        SP_DEVINFO_DATA data = Record();
        if (!SetupDiEnumDeviceInfo(set_, index, &data)) return {"!" + std::to_string(GetLastError())};
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, NULL, NULL, 0, &required))
            return {"!unexpected success"};
        if (GetLastError() != static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) return {"!" + std::to_string(GetLastError())};
        std::vector<BYTE> buffer(required);
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, &type, buffer.data(), required, NULL))
            return {"!" + std::to_string(GetLastError())};
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(buffer.back(), 0);
        std::vector<std::string> ids;
        for (const char* p = reinterpret_cast<const char*>(buffer.data()); *p != '\0'; p += std::strlen(p) + 1)
            ids.push_back(p);
        return ids;
    }

    DWORD Count() {
        SP_DEVINFO_DATA data = Record();
        DWORD n = 0;
        while (SetupDiEnumDeviceInfo(set_, n, &data)) ++n;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return n;
    }

    BOOL Remove(DWORD index) {
        SP_DEVINFO_DATA data = Record();
        EXPECT_TRUE(SetupDiEnumDeviceInfo(set_, index, &data));
        return SetupDiCallClassInstaller(DIF_REMOVE, set_, &data);
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

const char kStore[] =
    "# instance\tstate\thardware IDs\n"
    "ACPI\\PNP0A03\\0\tpresent\tACPI\\PNP0A03\t*PNP0A03\n"
    "\n"
    "USB\\VID_3759&PID_0001\\5&1\tabsent\tUSB\\VID_3759&PID_0001&REV_0100\tUSB\\VID_3759&PID_0001\n"
    "ROOT\\LEGACY_BEEP\\0000\tpresent\n"
    "PCI\\VEN_8086&DEV_7113\\3&1\tpresent\tPCI\\VEN_8086&DEV_7113\r\n";

TEST_F(Devices, GetClassDevs_AllClassesIncludesAbsentDevicesInFileOrder) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Count(), 4u);
    EXPECT_EQ(Ids(0), (std::vector<std::string>{"ACPI\\PNP0A03", "*PNP0A03"}));
    EXPECT_EQ(Ids(1), (std::vector<std::string>{"USB\\VID_3759&PID_0001&REV_0100", "USB\\VID_3759&PID_0001"}));
    EXPECT_EQ(Ids(3), (std::vector<std::string>{"PCI\\VEN_8086&DEV_7113"}));
}

TEST_F(Devices, GetClassDevs_PresentOnlyLeavesAbsentOut) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(DIGCF_ALLCLASSES | DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Count(), 3u);
}

TEST_F(Devices, GetClassDevs_NoStoreGivesEmptySet) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Count(), 0u);
    unsetenv("WINROOT");
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Count(), 0u);
}

TEST_F(Devices, GetClassDevs_NeitherClassNorAllClassesRefused) {
    EXPECT_EQ(SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Devices, GetProperty_DeviceWithoutIdsFailsWithInvalidData) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ids(2), (std::vector<std::string>{"!" + std::to_string(ERROR_INVALID_DATA)}));
}

TEST_F(Devices, GetProperty_SizesAndSmallBuffer) {
    WriteFile("devices.tsv", "X\\1\tpresent\tAB\tC\n");
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data = Record();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set_, 0, &data));
    DWORD required = 0;
    BYTE buffer[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, NULL, buffer, 5, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 6u);  // "AB\0C\0\0"
    EXPECT_EQ(buffer[0], 9);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, NULL, buffer, 6, &required));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), std::string("AB\0C\0\0", 6));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_DEVICEDESC, NULL, buffer, 6, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(Devices, EnumDeviceInfo_RecordSizeChecked) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = 32;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set_, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(sizeof(SP_DEVINFO_DATA), 28u);
}

TEST_F(Devices, MalformedStoreLines_AreNotDevices) {
    WriteFile("devices.tsv",
              std::string("lonely-id\n"
              "ID\\1\tmaybe\tX\n"
              "\tpresent\tX\n"
              "\t\t\t\n"
              "##\tpresent\tX\n"
              "GOOD\\1\tPRESENT\t\tUSB\\A\t\n"
              "\x01\x02\xff\tabsent\n") +
              "NUL\\1\tpresent\tUSB\\B" + std::string(1, '\0') + "tail\t" + std::string(1, '\0') + "\tUSB\\C\n");
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Count(), 3u);
    EXPECT_EQ(Ids(0), (std::vector<std::string>{"USB\\A"}));
    EXPECT_EQ(Ids(2), (std::vector<std::string>{"USB\\B", "USB\\C"}));
}

TEST_F(Devices, CallClassInstaller_RemoveTakesLineOutKeepingOthers) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    SetLastError(77);
    EXPECT_TRUE(Remove(1));
    EXPECT_EQ(GetLastError(), 0u);
    std::string expected = kStore;
    const size_t at = expected.find("USB\\VID_3759");
    expected.erase(at, expected.find('\n', at) + 1 - at);
    EXPECT_EQ(ReadFile("devices.tsv"), expected);
    for (const auto& entry : std::filesystem::directory_iterator(root_))
        EXPECT_EQ(entry.path().filename().string().find("devices.tsv."), std::string::npos) << entry.path();
}

TEST_F(Devices, CallClassInstaller_SetKeepsSnapshotAfterRemoval) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Remove(0));
    EXPECT_EQ(Count(), 4u);
    EXPECT_EQ(Ids(0), (std::vector<std::string>{"ACPI\\PNP0A03", "*PNP0A03"}));
    EXPECT_EQ(Ids(1).size(), 2u);
    Open();
    EXPECT_EQ(Count(), 3u);  // a new set sees the store as it is now
}

TEST_F(Devices, CallClassInstaller_SecondRemoveFailsNoSuchDevinst) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Remove(3));
    EXPECT_FALSE(Remove(3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(Devices, CallClassInstaller_StoreGoneFailsNoSuchDevinst) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    std::filesystem::remove(Host("devices.tsv"));
    EXPECT_FALSE(Remove(0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_FALSE(Exists("devices.tsv"));
}

TEST_F(Devices, CallClassInstaller_ReadOnlyStoreFailsAccessDenied) {
    WriteFile("devices.tsv", kStore);
    MakeReadOnly("devices.tsv");
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Remove(1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFile("devices.tsv"), kStore);
}

TEST_F(Devices, CallClassInstaller_OtherFunctionsAndBadRecordsRefused) {
    WriteFile("devices.tsv", kStore);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data = Record();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set_, 0, &data));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTIES, set_, &data));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set_, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DEVICE_SELECTED));
    SP_DEVINFO_DATA forged = data;
    forged.Reserved = 99;
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set_, &forged));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadFile("devices.tsv"), kStore);
}

TEST_F(Devices, DestroyDeviceInfoList_StaleHandleRefused) {
    const HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SP_DEVINFO_DATA data = Record();
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &data));
}

}  // namespace
}  // namespace win32test
