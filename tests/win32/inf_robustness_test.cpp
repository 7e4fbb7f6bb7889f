// Damaged and extreme INF input: every case ends in a handle or a published error, never a crash.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "inf_support.h"

namespace win32test {
namespace {

bool IsSetupSyntaxError(DWORD e) {
    return e == static_cast<DWORD>(ERROR_EXPECTED_SECTION_NAME) || e == static_cast<DWORD>(ERROR_BAD_SECTION_NAME_LINE) ||
           e == static_cast<DWORD>(ERROR_SECTION_NAME_TOO_LONG) || e == static_cast<DWORD>(ERROR_WRONG_INF_STYLE);
}

// Reads every field of every line of a section through the public calls, checking the size contract.
void ReadWholeSection(HINF inf, const char* section) {
    INFCONTEXT ctx;
    if (!SetupFindFirstLineA(inf, section, NULL, &ctx)) return;
    do {
        const DWORD count = SetupGetFieldCount(&ctx);
        for (DWORD f = 0; f <= count + 1; ++f) {
            DWORD required = 0;
            if (!SetupGetStringFieldA(&ctx, f, NULL, 0, &required)) continue;
            std::string text(required, '\0');
            ASSERT_TRUE(SetupGetStringFieldA(&ctx, f, text.data(), required, NULL));
            EXPECT_EQ(text.find('\0'), required - 1);
        }
    } while (SetupFindNextLine(&ctx, &ctx));
}

TEST_F(InfMachine, OpenInf_EmptyFileIsNotWin4) {
    EXPECT_EQ(Open(""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
}

TEST_F(InfMachine, OpenInf_EmptyFileAsOldNtHasNoSections) {
    ASSERT_NE(Open("", INF_STYLE_OLDNT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines("Version"), -1);
}

TEST_F(InfMachine, OpenInf_TextBeforeFirstSectionRefused) {
    EXPECT_EQ(Open("\r\n; fine\r\nstray = 1\r\n[Version]\r\nSignature=$Chicago$\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EXPECTED_SECTION_NAME));
    EXPECT_EQ(errorLine_, 3u);
}

TEST_F(InfMachine, OpenInf_UnclosedSectionNameRefused) {
    EXPECT_EQ(Open(std::string(kWin4Header) + "[Broken\r\nk = v\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_SECTION_NAME_LINE));
    EXPECT_EQ(errorLine_, 3u);
}

TEST_F(InfMachine, OpenInf_SectionNameOf255Accepted256Refused) {
    const std::string ok(255, 'S');
    ASSERT_NE(Open(std::string(kWin4Header) + "[" + ok + "]\r\nk = v\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field(ok.c_str(), 0, 1), "v");
    EXPECT_EQ(Open(std::string(kWin4Header) + "[" + ok + "X]\r\nk = v\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SECTION_NAME_TOO_LONG));
}

TEST_F(InfMachine, OpenInf_ContinuationAtEndOfFileEndsLine) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\nk = a, \\"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("S", 0, 1), "a");
    EXPECT_EQ(Field("S", 0, 2), "");
}

TEST_F(InfMachine, OpenInf_UnterminatedQuoteAtEndOfFile) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\nk = \"never closed"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("S", 0, 1), "never closed");
}

TEST_F(InfMachine, OpenInf_UnterminatedPercentKeptAsText) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\nk = %abc\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("S", 0, 1), "%abc");
}

TEST_F(InfMachine, OpenInf_HugeSectionReadCompletely) {
    std::string body = std::string(kWin4Header) + "[Models]\r\n";
    constexpr int kLines = 50000;
    for (int i = 0; i < kLines; ++i) body += "%D% = Inst, USB\\VID_1234&PID_" + std::to_string(i) + "\r\n";
    body += "[Strings]\r\nD = dev\r\n";
    ASSERT_NE(Open(body), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines("Models"), kLines);
    EXPECT_EQ(Field("Models", kLines - 1, 2), "USB\\VID_1234&PID_" + std::to_string(kLines - 1));
}

TEST_F(InfMachine, OpenInf_HugeFieldSizeReported) {
    const std::string big(100000, 'x');
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\nk = " + big + "\r\n"), INVALID_HANDLE_VALUE);
    INFCONTEXT ctx;
    ASSERT_TRUE(SetupFindFirstLineA(inf_, "S", NULL, &ctx));
    DWORD required = 0;
    ASSERT_TRUE(SetupGetStringFieldA(&ctx, 1, NULL, 0, &required));
    EXPECT_EQ(required, big.size() + 1);
}

TEST_F(InfMachine, OpenInf_BinaryDataNeverCrashes) {
    std::uint32_t seed = 12345;
    for (int round = 0; round < 40; ++round) {
        std::string bytes;
        const int length = 1 + round * 97;
        for (int i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            bytes += static_cast<char>(seed >> 24);
        }
        if (round % 2 == 1) bytes = std::string(kWin4Header) + "[S]\r\n" + bytes;  // damage after a good start
        const HINF h = Open(bytes, INF_STYLE_OLDNT | INF_STYLE_WIN4);
        if (h == INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(IsSetupSyntaxError(GetLastError())) << GetLastError();
        } else {
            ReadWholeSection(h, "S");
        }
    }
}

TEST_F(InfMachine, OpenInf_TruncatedPublishedInfsNeverCrash) {
    for (const char* file :
         {"android_winusb.inf", "arduino.inf", "blackmagic.inf", "linux-cdc-acm.inf", "reactos_ports.inf"}) {
        std::ifstream in(std::filesystem::path(WIN32_INF_FIXTURES) / file, std::ios::binary);
        if (!in) GTEST_SKIP() << "fixture missing: " << file;
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t cut = 0; cut < bytes.size(); cut += 61) {
            const HINF h = Open(bytes.substr(0, cut));
            if (h == INVALID_HANDLE_VALUE) {
                EXPECT_TRUE(IsSetupSyntaxError(GetLastError())) << file << " cut at " << cut;
                continue;
            }
            ReadWholeSection(h, "Manufacturer");
            ReadWholeSection(h, "Strings");
        }
    }
}

TEST_F(InfMachine, OpenInf_PathOf260CharactersRefused) {
    const std::string folder = "WINDOWS/inf/" + std::string(200, 'd');
    const std::string name = std::string(259 - 3 - folder.size() - 1, 'n');
    WriteFile(folder + "/" + name, std::string(kWin4Header));
    std::string path = "C:\\" + folder + "\\" + name;
    for (char& c : path)
        if (c == '/') c = '\\';
    ASSERT_EQ(path.size(), 259u);
    HINF h = SetupOpenInfFileA(path.c_str(), NULL, INF_STYLE_WIN4, NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(h);
    path.insert(2, "\\");
    EXPECT_EQ(SetupOpenInfFileA(path.c_str(), NULL, INF_STYLE_WIN4, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(InfMachine, OpenInf_FolderInsteadOfFileRefused) {
    std::filesystem::create_directories(Host("WINDOWS/inf/dir.inf"));
    EXPECT_EQ(SetupOpenInfFileA("C:\\WINDOWS\\inf\\dir.inf", NULL, INF_STYLE_WIN4, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(InfMachine, InfCalls_BadHandlesAndNullArgumentsRefused) {
    INFCONTEXT ctx{};
    EXPECT_FALSE(SetupFindFirstLineA(INVALID_HANDLE_VALUE, "S", NULL, &ctx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupFindFirstLineA(NULL, "S", NULL, &ctx));
    EXPECT_FALSE(SetupFindNextLine(&ctx, &ctx));
    EXPECT_FALSE(SetupFindNextLine(NULL, &ctx));
    EXPECT_FALSE(SetupGetStringFieldA(NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupCloseInfFile(INVALID_HANDLE_VALUE);  // ignored
    EXPECT_EQ(SetupOpenInfFileA(NULL, NULL, INF_STYLE_WIN4, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace win32test
