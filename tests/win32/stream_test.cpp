// Text-mode output streams and the application object.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "afxwin.h"
#include "machine.h"
#include "setupapi.h"
#include "textstream.h"

namespace win32test {
namespace {

using Streams = Machine;

TEST_F(Streams, OutputFile_LineFeedStoredAsCrLf) {
    {
        crt::ofstream log(".\\Rlog.txt", std::ios_base::out, _SH_DENYNO);
        ASSERT_TRUE(log.is_open());
        log << "GetWindowsDirectory error:" << static_cast<DWORD>(3) << std::endl;
        log << "a\nb" << std::endl;
    }
    EXPECT_EQ(ReadFile("work/Rlog.txt"), "GetWindowsDirectory error:3\r\na\r\nb\r\n");
}

TEST_F(Streams, OutputFile_CodesPrintUnsignedDecimal) {
    {
        crt::ofstream log(".\\Rlog.txt");
        log << static_cast<DWORD>(ERROR_NO_SUCH_DEVINST) << "  " << static_cast<DWORD>(0) << std::endl;
    }
    EXPECT_EQ(ReadFile("work/Rlog.txt"), "3758096907  0\r\n");
}

TEST_F(Streams, OutputFile_TruncatesExistingFile) {
    WriteFile("work/Rlog.txt", "old contents that are longer\r\n");
    {
        crt::ofstream log(".\\Rlog.txt");
        log << "new" << std::endl;
    }
    EXPECT_EQ(ReadFile("work/Rlog.txt"), "new\r\n");
}

TEST_F(Streams, OutputFile_ReusesExistingNameInOtherCase) {
    WriteFile("work/RLOG.TXT", "old");
    {
        crt::ofstream log(".\\Rlog.txt");
        log << "x";
    }
    EXPECT_EQ(ReadFile("work/RLOG.TXT"), "x");
    EXPECT_FALSE(Exists("work/Rlog.txt"));
}

TEST_F(Streams, OutputFile_FlushedLineVisibleWhileOpen) {
    crt::ofstream log(".\\Rlog.txt");
    log << "first" << std::endl;
    EXPECT_EQ(ReadFile("work/Rlog.txt"), "first\r\n");  // deny-none: another reader sees it
    log << "unflushed";
    EXPECT_EQ(ReadFile("work/Rlog.txt"), "first\r\n");
}

TEST_F(Streams, OutputFile_BinaryModeKeepsLineFeeds) {
    {
        crt::ofstream out("C:\\out.bin", std::ios_base::out | std::ios_base::binary);
        out << "a\nb";
    }
    EXPECT_EQ(ReadFile("out.bin"), "a\nb");
}

TEST_F(Streams, OutputFile_UnopenableStreamDropsWrites) {
    WriteFile("work/Rlog.txt", "kept");
    MakeReadOnly("work/Rlog.txt");
    crt::ofstream log(".\\Rlog.txt");
    EXPECT_FALSE(log.is_open());
    log << "lost" << static_cast<DWORD>(5) << std::endl;  // no effect, no crash
    EXPECT_EQ(ReadFile("work/Rlog.txt"), "kept");
    crt::ofstream nowhere("C:\\missing\\dir\\log.txt");
    EXPECT_FALSE(nowhere.is_open());
    nowhere << "lost" << std::endl;
}

TEST_F(Streams, OutputFile_OpenFaultDropsWrites) {
    win32host::InjectFault("ofstream::open", ERROR_SHARING_VIOLATION);
    crt::ofstream log(".\\Rlog.txt");
    EXPECT_FALSE(log.is_open());
    log << "lost" << std::endl;
    EXPECT_FALSE(Exists("work/Rlog.txt"));
}

TEST_F(Streams, Console_WritesCrLfToStandardOutput) {
    fflush(stdout);
    const std::string captured = Host("work/stdout.txt");
    FILE* saved = fdopen(dup(fileno(stdout)), "w");
    ASSERT_NE(freopen(captured.c_str(), "w", stdout), nullptr);
    crt::cout << "Remove  begin...." << std::endl;
    crt::cout << "Remove  " << "USB\\VID_3759&PID_0001" << std::endl;
    fflush(stdout);
    dup2(fileno(saved), fileno(stdout));
    fclose(saved);
    EXPECT_EQ(ReadFile("work/stdout.txt"), "Remove  begin....\r\nRemove  USB\\VID_3759&PID_0001\r\n");
}

class App : public CWinApp {};

TEST(Application, AfxWinInit_AttachesModuleAndCommandLine) {
    App app;
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_TRUE(AfxWinInit(GetModuleHandleA(NULL), NULL, GetCommandLineA(), 0));
    EXPECT_EQ(AfxGetInstanceHandle(), GetModuleHandleA(NULL));
    EXPECT_EQ(app.m_lpCmdLine, GetCommandLineA());
}

}  // namespace
}  // namespace win32test
