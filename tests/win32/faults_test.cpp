// Fault injection: named calls fail with the given last error, on the chosen calls, until reset.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "afxwin.h"
#include "machine.h"
#include "setupapi.h"

namespace win32test {
namespace {

using Faults = Machine;

TEST_F(Faults, InjectFault_CallFailsWithGivenError) {
    win32host::InjectFault("GetWindowsDirectoryA", 1234);
    char buffer[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);  // every call while it is set
}

TEST_F(Faults, ResetFaults_RestoresNormalBehaviour) {
    win32host::InjectFault("AfxWinInit", ERROR_NOT_ENOUGH_MEMORY);
    win32host::InjectFault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(AfxWinInit(GetModuleHandleA(NULL), NULL, GetCommandLineA(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    win32host::ResetFaults();
    EXPECT_TRUE(AfxWinInit(GetModuleHandleA(NULL), NULL, GetCommandLineA(), 0));
    void* p = LocalAlloc(LMEM_ZEROINIT, 8);
    EXPECT_NE(p, nullptr);
    LocalFree(p);
}

TEST_F(Faults, FaultScope_ResetsAtEndOfScope) {
    {
        win32host::FaultScope scope;
        win32host::InjectFault("LocalAlloc", ERROR_OUTOFMEMORY);
        EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 8), nullptr);
    }
    void* p = LocalAlloc(LMEM_ZEROINIT, 8);
    EXPECT_NE(p, nullptr);
    LocalFree(p);
}

TEST_F(Faults, InjectFault_SkipAndCountChooseFailingCalls) {
    WriteFile("devices.tsv", "A\\1\tpresent\tX\nB\\1\tpresent\tY\nC\\1\tpresent\tZ\n");
    win32host::InjectFault("SetupDiEnumDeviceInfo", ERROR_GEN_FAILURE, 1, 1);
    const HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(win32host::FaultCallCount("SetupDiEnumDeviceInfo"), 3);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Faults, InjectFault_DeviceCallsFailWithoutSideEffects) {
    WriteFile("devices.tsv", "A\\1\tpresent\tUSB\\VID_3759\n");
    const HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    win32host::InjectFault("SetupDiGetDeviceRegistryPropertyA", ERROR_GEN_FAILURE);
    win32host::InjectFault("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, NULL, NULL, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFile("devices.tsv"), "A\\1\tpresent\tUSB\\VID_3759\n");
    SetupDiDestroyDeviceInfoList(set);
    win32host::InjectFault("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(Faults, InjectFault_FindNextEndsSearchKeepingCurrentEntry) {
    WriteFile("WINDOWS/inf/a.inf", "x");
    WriteFile("WINDOWS/inf/b.inf", "x");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile("C:\\WINDOWS\\inf\\*.inf"));
    win32host::InjectFault("FindNextFileA", ERROR_GEN_FAILURE);
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_STREQ(finder.GetFileName(), "a.inf");
    EXPECT_FALSE(finder.FindNextFile());
}

struct ListCase {
    const char* list;
    bool valid;
};

class FaultList : public Machine, public ::testing::WithParamInterface<ListCase> {};

TEST_P(FaultList, InjectFaultList_ParsesEntries) {
    EXPECT_EQ(win32host::InjectFaultList(GetParam().list), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Lists, FaultList,
                         ::testing::Values(ListCase{"AfxWinInit=8", true}, ListCase{"LocalAlloc=0x8:1", true},
                                           ListCase{"A=1:2:3,B=4", true}, ListCase{"", true},
                                           ListCase{"A=1,,B=2", true}, ListCase{"A", false}, ListCase{"=5", false},
                                           ListCase{"A=x", false}, ListCase{"A=1:2:3:4", false},
                                           ListCase{"A=-1", false}, ListCase{"A=99999999999", false}));

TEST_F(Faults, InjectFaultList_AppliesSkip) {
    EXPECT_FALSE(win32host::InjectFaultList("GetSystemDirectoryA=31:1:1,Bad"));  // the good entry still counts
    char buffer[MAX_PATH];
    EXPECT_NE(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), 31u);
    EXPECT_NE(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
}

// Runs in a child process started by the next test, with WIN32_FAULTS set; not run on its own.
TEST(EnvironmentFaults, DISABLED_Child_FaultsFromVariableActive) {
    char buffer[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), 77u);
    void* first = LocalAlloc(LMEM_ZEROINIT, 4);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 4), nullptr);
    EXPECT_EQ(GetLastError(), 8u);
    LocalFree(first);
}

TEST(EnvironmentFaults, Win32FaultsVariable_ReadAtProcessStart) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const std::string command = std::string("WIN32_FAULTS='GetWindowsDirectoryA=77,LocalAlloc=8:1:1' '") + self +
                                "' --gtest_also_run_disabled_tests --gtest_filter=EnvironmentFaults.DISABLED_Child_* "
                                ">/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace win32test
