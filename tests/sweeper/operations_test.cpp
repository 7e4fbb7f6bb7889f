// Single operations of the tool, called in this process: what the record and the candidate list
// hold, which the program's output cannot show.
#include <win32_host.h>

#include <cstdlib>

#include "sweeper.h"
#include "sweeper_run.h"

// The program's process-wide objects, as the tool's main.cpp defines them. The log stays closed
// here: these tests read the record and the list, not the log.
CWinApp theApp;
crt::ofstream Rlog;

namespace {

class OperationsTest : public SweeperMachineTest {
protected:
    void SetUp() override {
        SweeperMachineTest::SetUp();
        setenv("WINROOT", machine_.Root().c_str(), 1);
        ResetInfPackageInfo(info_);
    }
    void TearDown() override {
        if (info_.infHandle != INVALID_HANDLE_VALUE) SetupCloseInfFile(info_.infHandle);
        unsetenv("WINROOT");
        SweeperMachineTest::TearDown();
    }
    HINF OpenInf(const std::string& text) {
        machine_.WriteFile("WINDOWS/inf/oem7.inf", text);
        return SetupOpenInfFileA("C:\\WINDOWS\\inf\\oem7.inf", NULL, INF_STYLE_WIN4, NULL);
    }

    win32host::FaultScope faults_;
    InfPackageInfo info_;
};

TEST_F(OperationsTest, GetInfStringField_ReadsKeyAndValues) {
    HINF inf = OpenInf(machine::CorvidPackageInf());
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    ASSERT_TRUE(SetupFindFirstLineA(inf, "SourceDisksFiles", NULL, &context));
    CString key, value;

    EXPECT_EQ(GetInfStringField(&context, 0, key), 0u);
    EXPECT_EQ(GetInfStringField(&context, 1, value), 0u);

    EXPECT_EQ(key, "corvid.sys");
    EXPECT_EQ(value, "1");
    SetupCloseInfFile(inf);
}

TEST_F(OperationsTest, GetInfStringField_MissingFieldReturnsCodeAndKeepsText) {
    HINF inf = OpenInf(machine::CorvidPackageInf());
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    ASSERT_TRUE(SetupFindFirstLineA(inf, "SourceDisksFiles", NULL, &context));
    CString text = "kept";

    EXPECT_EQ(GetInfStringField(&context, 5, text), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(text, "kept");
    SetupCloseInfFile(inf);
}

TEST_F(OperationsTest, GetInfStringField_FailedSecondReadEmptiesText) {
    HINF inf = OpenInf(machine::CorvidPackageInf());
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    ASSERT_TRUE(SetupFindFirstLineA(inf, "SourceDisksFiles", NULL, &context));
    CString text = "old";
    win32host::InjectFault("SetupGetStringFieldA", ERROR_GEN_FAILURE, 1, 1);

    EXPECT_EQ(GetInfStringField(&context, 0, text), static_cast<DWORD>(ERROR_GEN_FAILURE));

    EXPECT_EQ(text, "");
    SetupCloseInfFile(inf);
}

TEST_F(OperationsTest, AnalyzeInf_MatchKeepsInfOpenAtTheMatchingLine) {
    machine_.WriteFile("WINDOWS/inf/oem7.inf",
                       machine::PackageInf("%Mfg%=Zelvik", "Zelvik",
                                           {"%Port%=Install, USB\\VID_1234&PID_0001",
                                            "%Port%=Install, USB\\VID_3759&PID_0042"},
                                           "SourceDisksFiles", {"corvid.sys=1"}));

    EXPECT_TRUE(AnalyzeInf("C:\\WINDOWS\\inf\\oem7.inf", info_));

    EXPECT_TRUE(info_.found);
    EXPECT_FALSE(info_.googleStyle);
    EXPECT_EQ(info_.infPath, "C:\\WINDOWS\\inf\\oem7.inf");
    ASSERT_NE(info_.infHandle, INVALID_HANDLE_VALUE);
    CString id;
    EXPECT_EQ(GetInfStringField(&info_.lineContext, 2, id), 0u);
    EXPECT_EQ(id, "USB\\VID_3759&PID_0042");
}

TEST_F(OperationsTest, AnalyzeInf_NoMatchClosesTheInfAndMayKeepGoogleStyle) {
    machine_.WriteFile("WINDOWS/inf/oem7.inf",
                       machine::PackageInf("%Mfg%=Google, NTx86", "Google.NTx86",
                                           {"%Port%=Install, USB\\VID_18D1&PID_4E42"}, "SourceDisksFiles",
                                           {"adb.sys=1"}));

    EXPECT_FALSE(AnalyzeInf("C:\\WINDOWS\\inf\\oem7.inf", info_));

    EXPECT_FALSE(info_.found);
    EXPECT_TRUE(info_.googleStyle);
    EXPECT_EQ(info_.infHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(info_.infPath, "");
}

TEST_F(OperationsTest, RemoveDriverFiles_ClosesTheInfOnEveryPath) {
    machine_.WriteFile("WINDOWS/inf/oem7.inf",
                       machine::PackageInf("%Mfg%=Zelvik", "Zelvik", {"%Port%=Install, USB\\VID_3759&PID_0001"},
                                           "SourceDisksFiles.x86", {"corvid.sys=1"}));
    ASSERT_TRUE(AnalyzeInf("C:\\WINDOWS\\inf\\oem7.inf", info_));

    RemoveDriverFiles(info_);

    EXPECT_EQ(info_.infHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(machine_.Exists("WINDOWS/inf/oem7.inf"));
}

TEST_F(OperationsTest, ResetInfPackageInfo_EmptiesEveryField) {
    info_.found = TRUE;
    info_.googleStyle = TRUE;
    info_.lineContext.Line = 7;
    info_.infPath = "C:\\x";

    ResetInfPackageInfo(info_);

    EXPECT_EQ(info_.infHandle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(info_.found);
    EXPECT_FALSE(info_.googleStyle);
    EXPECT_EQ(info_.lineContext.Line, 0u);
    EXPECT_EQ(info_.lineContext.Inf, nullptr);
    EXPECT_TRUE(info_.infPath.IsEmpty());
}

std::vector<std::string> Strings(const CandidateList& list) {
    std::vector<std::string> out;
    for (const CString& s : list) out.emplace_back(static_cast<LPCSTR>(s));
    return out;
}

TEST_F(OperationsTest, ScanInfDirectory_ListsAFolderBeforeItsContents) {
    machine_.WriteFile("WINDOWS/inf/oem1.inf", "x");
    machine_.WriteFile("WINDOWS/inf/oemcache.inf/oem5.inf", "x");
    machine_.WriteFile("WINDOWS/inf/oemcache.inf/usb.inf", "x");
    machine_.WriteFile("WINDOWS/inf/oemz.inf", "x");
    machine_.WriteFile("WINDOWS/inf/other/oem6.inf", "x");
    CandidateList candidates;

    ScanInfDirectory("C:\\WINDOWS\\inf", candidates);

    EXPECT_EQ(Strings(candidates),
              (std::vector<std::string>{"C:\\WINDOWS\\inf\\oem1.inf", "C:\\WINDOWS\\inf\\oemcache.inf",
                                        "C:\\WINDOWS\\inf\\oemcache.inf\\oem5.inf", "C:\\WINDOWS\\inf\\oemz.inf"}));
}

TEST_F(OperationsTest, ScanInfDirectory_AcceptsAFolderEndingInBackslashAndAppendsToTheList) {
    machine_.WriteFile("WINDOWS/inf/oem1.inf", "x");
    CandidateList candidates{"earlier"};

    ScanInfDirectory("C:\\WINDOWS\\inf\\", candidates);

    EXPECT_EQ(Strings(candidates), (std::vector<std::string>{"earlier", "C:\\WINDOWS\\inf\\oem1.inf"}));
}

}  // namespace
