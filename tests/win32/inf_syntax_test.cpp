// INF syntax as the Setup API reads it: one table row per rule, each read through the public calls.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "inf_support.h"

namespace win32test {
namespace {

struct SyntaxCase {
    const char* description;
    const char* body;  // appended to a Windows 4 [Version] section
    const char* section;
    unsigned line;
    DWORD field;
    const char* expected;  // nullptr: the field does not exist
};

std::ostream& operator<<(std::ostream& os, const SyntaxCase& c) { return os << c.description; }

class InfSyntax : public InfMachine, public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(InfSyntax, ReadField_GivesSetupApiValue) {
    const SyntaxCase& c = GetParam();
    ASSERT_NE(Open(std::string(kWin4Header) + c.body), INVALID_HANDLE_VALUE) << GetLastError();
    ExpectField(c.section, c.line, c.field, c.expected);
}

const SyntaxCase kSyntaxCases[] = {
    {"key", "[S]\r\nname = value\r\n", "S", 0, 0, "name"},
    {"first field", "[S]\r\nname = value\r\n", "S", 0, 1, "value"},
    {"fields split at commas", "[S]\r\nk = a, b ,c\r\n", "S", 0, 2, "b"},
    {"empty middle field", "[S]\r\nk = a,,c\r\n", "S", 0, 2, ""},
    {"field past the last", "[S]\r\nk = a,b\r\n", "S", 0, 3, nullptr},
    {"empty right side has no field", "[S]\r\nk =\r\n", "S", 0, 1, nullptr},
    {"keyless line has no key", "[S]\r\nusbser.sys,,,0x20\r\n", "S", 0, 0, nullptr},
    {"keyless line fields", "[S]\r\nusbser.sys,,,0x20\r\n", "S", 0, 4, "0x20"},
    {"section name ignores case", "[sOuRcEdIsKsFiLeS]\r\ncorvid.sys = 1\r\n", "SourceDisksFiles", 0, 0, "corvid.sys"},
    {"decorated section is another section", "[S.x86]\r\nk = v\r\n", "S", 0, 0, nullptr},
    {"same-name sections merged in order", "[S]\r\na = 1\r\n[T]\r\nt = 0\r\n[s]\r\nb = 2\r\n", "S", 1, 0, "b"},
    {"blanks around values trimmed", "[S]\r\n  k  =   spaced   value   \r\n", "S", 0, 1, "spaced   value"},
    {"tabs trimmed", "[S]\r\n\tk\t=\tv\t\r\n", "S", 0, 1, "v"},
    {"quotes keep blanks", "[S]\r\nk = \"  padded  \"\r\n", "S", 0, 1, "  padded  "},
    {"quotes keep commas", "[S]\r\nk = \"a,b\", c\r\n", "S", 0, 1, "a,b"},
    {"quotes keep semicolons", "[S]\r\nk = \"a;b\" ; comment\r\n", "S", 0, 1, "a;b"},
    {"quotes keep equals", "[S]\r\nk = \"a=b\"\r\n", "S", 0, 1, "a=b"},
    {"doubled quote inside quotes", "[S]\r\nk = \"say \"\"hi\"\"\"\r\n", "S", 0, 1, "say \"hi\""},
    {"quoted and plain text joined", "[S]\r\nk = ab\"c d\"ef\r\n", "S", 0, 1, "abc def"},
    {"empty quotes are an empty field", "[S]\r\nk = \"\", x\r\n", "S", 0, 1, ""},
    {"unterminated quote ends with the line", "[S]\r\nk = \"open, still\r\nn = 2\r\n", "S", 0, 1, "open, still"},
    {"line after unterminated quote", "[S]\r\nk = \"open\r\nn = 2\r\n", "S", 1, 1, "2"},
    {"quoted key", "[S]\r\n\"my key\" = v\r\n", "S", 0, 0, "my key"},
    {"second equals is text", "[S]\r\nk = a=b\r\n", "S", 0, 1, "a=b"},
    {"comment after value", "[S]\r\nk = v ; note\r\n", "S", 0, 1, "v"},
    {"comment line skipped", "[S]\r\n; k = hidden\r\nk = shown\r\n", "S", 0, 1, "shown"},
    {"blank lines skipped", "[S]\r\n\r\n   \r\nk = v\r\n", "S", 0, 1, "v"},
    {"comment after section name", "[S] ; note\r\nk = v\r\n", "S", 0, 1, "v"},
    {"continuation joins lines", "[S]\r\nk = a, \\\r\n    b\r\n", "S", 0, 2, "b"},
    {"continuation with comment", "[S]\r\nk = a, \\ ; more follows\r\n b\r\n", "S", 0, 2, "b"},
    {"continuation counts one line", "[S]\r\nk = a, \\\r\n b\r\nn = 2\r\n", "S", 1, 0, "n"},
    {"backslash inside value is text", "[S]\r\nk = %12%\\usbser.sys\r\n[Strings]\r\n12x = y\r\n", "S", 0, 1,
     "C:\\WINDOWS\\system32\\drivers\\usbser.sys"},
    {"backslash in quotes is text", "[S]\r\nk = \"a\\\"\r\n", "S", 0, 1, "a\\"},
    {"string substituted", "[S]\r\nk = %Mfg%\r\n[Strings]\r\nMfg = \"Acme Ltd\"\r\n", "S", 0, 1, "Acme Ltd"},
    {"string key ignores case", "[S]\r\nk = %MFG%\r\n[Strings]\r\nmfg = Acme\r\n", "S", 0, 1, "Acme"},
    {"strings before use", "[Strings]\r\nMfg = Acme\r\n[S]\r\nk = %Mfg%\r\n", "S", 0, 1, "Acme"},
    {"string inside text", "[S]\r\nk = x%A%y\r\n[Strings]\r\nA = -\r\n", "S", 0, 1, "x-y"},
    {"string in key", "[S]\r\n%D% = inst, USB\\VID_1\r\n[Strings]\r\nD = \"Device\"\r\n", "S", 0, 0, "Device"},
    {"string inside quotes", "[S]\r\nk = \"<%A%>\"\r\n[Strings]\r\nA = v\r\n", "S", 0, 1, "<v>"},
    {"doubled percent", "[S]\r\nk = 100%%\r\n", "S", 0, 1, "100%"},
    {"unknown string kept", "[S]\r\nk = %Nope%\r\n", "S", 0, 1, "%Nope%"},
    {"lone percent kept", "[S]\r\nk = 50% off\r\n", "S", 0, 1, "50% off"},
    {"language strings win", "[S]\r\nk = %A%\r\n[Strings]\r\nA = neutral\r\n[Strings.0409]\r\nA = english\r\n", "S", 0, 1,
     "english"},
    {"other language ignored", "[S]\r\nk = %A%\r\n[Strings]\r\nA = neutral\r\n[Strings.0407]\r\nA = deutsch\r\n", "S", 0,
     1, "neutral"},
    {"directory id", "[S]\r\nk = %10%\\inf\r\n", "S", 0, 1, "C:\\WINDOWS\\inf"},
    {"LF line ends", "[S]\nk = a\nn = b\n", "S", 1, 1, "b"},
    {"CR line ends", "[S]\rk = a\rn = b\r", "S", 1, 1, "b"},
    {"no final line end", "[S]\r\nk = last", "S", 0, 1, "last"},
    {"line with only a key and equals", "[S]\r\n= v\r\n", "S", 0, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Rules, InfSyntax, ::testing::ValuesIn(kSyntaxCases),
                         [](const ::testing::TestParamInfo<SyntaxCase>& info) {
                             std::string name = info.param.description;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

struct SignatureCase {
    const char* signature;
    bool accepted;
};

class InfSignature : public InfMachine, public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(InfSignature, OpenWin4_ChecksVersionSignature) {
    const SignatureCase& c = GetParam();
    const HINF h = Open(std::string("[Version]\r\nSignature=") + c.signature + "\r\n[S]\r\nk=v\r\n");
    if (c.accepted) {
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
    } else {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
    }
}

INSTANTIATE_TEST_SUITE_P(Signatures, InfSignature,
                         ::testing::Values(SignatureCase{"\"$Windows NT$\"", true}, SignatureCase{"$Windows NT$", true},
                                           SignatureCase{"\"$CHICAGO$\"", true}, SignatureCase{"\"$chicago$\"", true},
                                           SignatureCase{"\"$Windows 95$\"", true},
                                           SignatureCase{"\"$windows nt$\" ; note", true},
                                           SignatureCase{"\"$ReactOS$\"", false}, SignatureCase{"\"Windows NT\"", false},
                                           SignatureCase{"", false}));

TEST_F(InfMachine, OpenWin4_RefusesFileWithoutVersion) {
    EXPECT_EQ(Open("[S]\r\nk = v\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
}

TEST_F(InfMachine, OpenOldNt_AcceptsFileWithoutVersion) {
    EXPECT_NE(Open("[S]\r\nk = v\r\n", INF_STYLE_OLDNT), INVALID_HANDLE_VALUE);
}

TEST_F(InfMachine, OpenWin4_SignatureFromMergedVersionSection) {
    EXPECT_NE(Open("[Version]\r\nClass=Ports\r\n[S]\r\nk=v\r\n[version]\r\nSignature=$Chicago$\r\n"), INVALID_HANDLE_VALUE);
}

TEST_F(InfMachine, OpenInf_MissingFileFailsWithFileNotFound) {
    EXPECT_EQ(SetupOpenInfFileA("C:\\WINDOWS\\inf\\none.inf", NULL, INF_STYLE_WIN4, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(InfMachine, OpenInf_PathLetterCaseIgnored) {
    WriteFile("WINDOWS/inf/oem7.inf", std::string(kWin4Header));
    const HINF h = SetupOpenInfFileA("c:\\windows\\INF\\OEM7.INF", NULL, INF_STYLE_WIN4, NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(h);
}

TEST_F(InfMachine, OpenInf_BareNameLooksInInfFolder) {
    WriteFile("WINDOWS/inf/oem3.inf", std::string(kWin4Header));
    const HINF h = SetupOpenInfFileA("oem3.inf", NULL, INF_STYLE_WIN4, NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(h);
}

TEST_F(InfMachine, OpenInf_ClassMismatchRefused) {
    WriteFile("WINDOWS/inf/c.inf", std::string(kWin4Header) + "Class=Ports\r\n");
    EXPECT_EQ(SetupOpenInfFileA("C:\\WINDOWS\\inf\\c.inf", "Net", INF_STYLE_WIN4, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
    const HINF h = SetupOpenInfFileA("C:\\WINDOWS\\inf\\c.inf", "ports", INF_STYLE_WIN4, NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(h);
}

std::string Utf16le(const std::string& ascii, bool bom) {
    std::string out = bom ? std::string("\xFF\xFE", 2) : std::string();
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST_F(InfMachine, OpenInf_Utf16LeWithByteOrderMark) {
    ASSERT_NE(Open(Utf16le("[Version]\r\nSignature=\"$Windows NT$\"\r\n[Manufacturer]\r\n%M% = Acme, NTx86\r\n"
                           "[Strings]\r\nM = \"Acme Inc\"\r\n",
                           true)),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("Manufacturer", 0, 0), "Acme Inc");
    EXPECT_EQ(Field("Manufacturer", 0, 2), "NTx86");
}

TEST_F(InfMachine, OpenInf_Utf16NonLatinCharacterBecomesQuestionMark) {
    std::string bytes = Utf16le(std::string(kWin4Header) + "[S]\r\nk = a", true);
    bytes += std::string("\x3A\x04", 2);  // CYRILLIC CAPITAL LETTER KA
    bytes += Utf16le("b\r\n", false);
    ASSERT_NE(Open(bytes), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("S", 0, 1), "a?b");
}

TEST_F(InfMachine, OpenInf_Utf16WithoutByteOrderMarkIsNotRead) {
    EXPECT_EQ(Open(Utf16le(std::string(kWin4Header), false)), INVALID_HANDLE_VALUE);
}

TEST_F(InfMachine, OpenInf_Utf8WithByteOrderMarkConvertedToAnsi) {
    ASSERT_NE(Open("\xEF\xBB\xBF" + std::string(kWin4Header) + "[S]\r\nk = Anschl\xC3\xBCsse\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("S", 0, 1), "Anschl\xFCsse");
}

TEST_F(InfMachine, OpenInf_AnsiBytesKeptAsWritten) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\nk = Anschl\xC3\xBCsse\r\n"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field("S", 0, 1), "Anschl\xC3\xBCsse");
}

TEST_F(InfMachine, FindFirstLine_WithKeyFindsMatchingLine) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\na = 1\r\nB = 2\r\n"), INVALID_HANDLE_VALUE);
    INFCONTEXT ctx;
    ASSERT_TRUE(SetupFindFirstLineA(inf_, "s", "b", &ctx));
    EXPECT_EQ(ctx.Line, 1u);
    EXPECT_FALSE(SetupFindFirstLineA(inf_, "S", "c", &ctx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
}

TEST_F(InfMachine, FindFirstLine_MissingOrEmptySectionFails) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[Empty]\r\n; nothing\r\n"), INVALID_HANDLE_VALUE);
    INFCONTEXT ctx;
    EXPECT_FALSE(SetupFindFirstLineA(inf_, "Empty", NULL, &ctx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
    EXPECT_FALSE(SetupFindFirstLineA(inf_, "Absent", NULL, &ctx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
    EXPECT_EQ(Lines("Empty"), 0);
    EXPECT_EQ(Lines("Absent"), -1);
}

TEST_F(InfMachine, FindNextLine_FailsAfterLastLineOfSection) {
    ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\na = 1\r\nb = 2\r\n[T]\r\nc = 3\r\n"), INVALID_HANDLE_VALUE);
    INFCONTEXT ctx, next;
    ASSERT_TRUE(SetupFindFirstLineA(inf_, "S", NULL, &ctx));
    ASSERT_TRUE(SetupFindNextLine(&ctx, &next));
    EXPECT_EQ(next.Line, 1u);
    EXPECT_FALSE(SetupFindNextLine(&next, &next));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
    EXPECT_EQ(next.Line, 1u);  // the context is left alone
}

class StringFieldSizes : public InfMachine {
protected:
    void SetUp() override {
        InfMachine::SetUp();
        ASSERT_NE(Open(std::string(kWin4Header) + "[S]\r\ncorvid.sys = 1,,,hello\r\n"), INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetupFindFirstLineA(inf_, "S", NULL, &ctx_));
    }
    INFCONTEXT ctx_{};
};

TEST_F(StringFieldSizes, GetStringField_NullBufferGivesSizeWithNul) {
    DWORD required = 0;
    SetLastError(1234);
    EXPECT_TRUE(SetupGetStringFieldA(&ctx_, 0, NULL, 0, &required));
    EXPECT_EQ(required, 11u);  // "corvid.sys" and its NUL
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
}

TEST_F(StringFieldSizes, GetStringField_ExactBufferFilled) {
    char buffer[11];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_TRUE(SetupGetStringFieldA(&ctx_, 0, buffer, 11, NULL));
    EXPECT_STREQ(buffer, "corvid.sys");
}

TEST_F(StringFieldSizes, GetStringField_SmallBufferFailsUntouched) {
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    DWORD required = 0;
    EXPECT_FALSE(SetupGetStringFieldA(&ctx_, 0, buffer, 10, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 11u);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(StringFieldSizes, GetStringField_EmptyFieldNeedsOneCharacter) {
    DWORD required = 0;
    EXPECT_TRUE(SetupGetStringFieldA(&ctx_, 2, NULL, 0, &required));
    EXPECT_EQ(required, 1u);
}

TEST_F(StringFieldSizes, GetStringField_MissingFieldFailsWithInvalidParameter) {
    DWORD required = 77;
    EXPECT_FALSE(SetupGetStringFieldA(&ctx_, 5, NULL, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(required, 77u);
    EXPECT_EQ(SetupGetFieldCount(&ctx_), 4u);
}

TEST_F(StringFieldSizes, GetStringField_ClosedInfRefused) {
    SetupCloseInfFile(inf_);
    inf_ = INVALID_HANDLE_VALUE;
    DWORD required = 0;
    EXPECT_FALSE(SetupGetStringFieldA(&ctx_, 0, NULL, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace win32test
