// CString and the multibyte string routines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "afxwin.h"
#include "mbstring.h"

namespace win32test {
namespace {

struct LeftRightCase {
    const char* text;
    int count;
    const char* left;
    const char* right;
};

class CStringLeftRight : public ::testing::TestWithParam<LeftRightCase> {};

TEST_P(CStringLeftRight, LeftRight_GiveEndsOrWholeString) {
    const LeftRightCase& c = GetParam();
    const CString s(c.text);
    EXPECT_STREQ(s.Left(c.count), c.left);
    EXPECT_STREQ(s.Right(c.count), c.right);
}

INSTANTIATE_TEST_SUITE_P(Counts, CStringLeftRight,
                         ::testing::Values(LeftRightCase{"oem12.inf", 3, "oem", "inf"},
                                           LeftRightCase{"oem12.inf", 0, "", ""},
                                           LeftRightCase{"oem12.inf", -4, "", ""},
                                           LeftRightCase{"oem12.inf", 9, "oem12.inf", "oem12.inf"},
                                           LeftRightCase{"oe", 3, "oe", "oe"},
                                           LeftRightCase{"", 3, "", ""},
                                           LeftRightCase{"C:\\WINDOWS\\inf\\", 1, "C", "\\"}));

TEST(CString, Append_CopiesDoNotShareChanges) {
    CString a("C:\\WINDOWS");
    CString b = a;
    b += "\\inf";
    EXPECT_STREQ(a, "C:\\WINDOWS");
    EXPECT_STREQ(b, "C:\\WINDOWS\\inf");
    b += '\\';
    b += CString("*.*");
    EXPECT_STREQ(b, "C:\\WINDOWS\\inf\\*.*");
    EXPECT_EQ(b.GetLength(), 18);
}

TEST(CString, Append_SelfAppendIsSafe) {
    CString a("ab");
    a += a;
    a += static_cast<LPCTSTR>(a);
    EXPECT_STREQ(a, "abababab");
}

TEST(CString, Concatenate_AllOperandKinds) {
    const CString dir("C:\\WINDOWS");
    EXPECT_STREQ(dir + "\\inf", "C:\\WINDOWS\\inf");
    EXPECT_STREQ("drive " + dir, "drive C:\\WINDOWS");
    EXPECT_STREQ(dir + '\\' + CString("x"), "C:\\WINDOWS\\x");
    EXPECT_STREQ('[' + dir, "[C:\\WINDOWS");
}

TEST(CString, Compare_ExactAndWithoutCase) {
    const CString s("Google");
    EXPECT_TRUE(s == "Google");
    EXPECT_TRUE("Google" == s);
    EXPECT_TRUE(s != "google");
    EXPECT_EQ(s.CompareNoCase("GOOGLE"), 0);
    EXPECT_LT(s.Compare("Googlf"), 0);
    EXPECT_TRUE(CString("a") < CString("b"));
}

TEST(CString, GetBuffer_ReleaseBufferTakesNulTerminatedLength) {
    CString s("old");
    const CString shared = s;
    char* buffer = s.GetBuffer(20);
    std::strcpy(buffer, "corvid.sys");
    s.ReleaseBuffer();
    EXPECT_STREQ(s, "corvid.sys");
    EXPECT_EQ(s.GetLength(), 10);
    EXPECT_STREQ(shared, "old");
    buffer = s.GetBuffer(5);
    buffer[0] = '\0';
    s.ReleaseBuffer();
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, FindMidAndFormat) {
    CString s;
    s.Format("%s:%u", "path", 4294967295u);
    EXPECT_STREQ(s, "path:4294967295");
    EXPECT_EQ(s.Find(':'), 4);
    EXPECT_EQ(s.Find("429"), 5);
    EXPECT_EQ(s.Find('x'), -1);
    EXPECT_EQ(s.ReverseFind('4'), 8);
    EXPECT_STREQ(s.Mid(5, 3), "429");
    EXPECT_STREQ(s.Mid(40), "");
    EXPECT_EQ(s[100], '\0');
}

TEST(CString, NullAndEmpty) {
    const CString n(static_cast<LPCTSTR>(NULL));
    EXPECT_STREQ(n, "");
    EXPECT_TRUE(n.IsEmpty());
    EXPECT_STREQ(n.Right(1), "");
}

TEST(MbString, Compare_CaseSensitiveAndInsensitive) {
    auto u = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    EXPECT_EQ(_mbscmp(u("oem"), u("oem")), 0);
    EXPECT_NE(_mbscmp(u("OEM"), u("oem")), 0);
    EXPECT_LT(_mbscmp(u("inf"), u("ing")), 0);
    EXPECT_GT(_mbscmp(u("\xE4"), u("a")), 0);  // bytes compare unsigned
    EXPECT_EQ(_mbsicmp(u("GOOGLE"), u("google")), 0);
    EXPECT_LT(_mbsicmp(u("acme"), u("ACMF")), 0);
    EXPECT_EQ(_mbscmp(NULL, u("x")), _NLSCMPERROR);
}

TEST(MbString, Substring_CaseSensitive) {
    auto u = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    const unsigned char* id = u("USB\\VID_37590&PID_0001");
    EXPECT_EQ(_mbsstr(id, u("VID_3759")), id + 4);
    EXPECT_EQ(_mbsstr(u("USB\\Vid_3759"), u("VID_3759")), nullptr);
    EXPECT_EQ(_mbsstr(id, u("")), id);
    EXPECT_EQ(_mbsstr(NULL, u("x")), nullptr);
}

TEST(Kernel, LocalAllocZeroFillsAndLstrlen) {
    auto* p = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
    EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, static_cast<SIZE_T>(-1)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(lstrlenA("VID_3759"), 8);
    EXPECT_EQ(lstrlenA(NULL), 0);
}

TEST(Kernel, ModuleHandleAndCommandLine) {
    EXPECT_NE(GetModuleHandleA(NULL), nullptr);
    EXPECT_EQ(GetModuleHandleA("other.dll"), nullptr);
    const std::string line = GetCommandLineA();
    EXPECT_NE(line.find("win32_tests"), std::string::npos);
}

}  // namespace
}  // namespace win32test
