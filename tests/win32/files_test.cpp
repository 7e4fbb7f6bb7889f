// The machine's file services: Windows directory, path lookup, attributes, deletion, search order.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "afxwin.h"
#include "machine.h"

namespace win32test {
namespace {

using Files = Machine;

TEST_F(Files, GetWindowsDirectory_GivesDriveAndFolder) {
    char buffer[MAX_PATH] = {};
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 10u);
    EXPECT_STREQ(buffer, "C:\\WINDOWS");
    EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), 19u);
    EXPECT_STREQ(buffer, "C:\\WINDOWS\\system32");
}

TEST_F(Files, GetWindowsDirectory_KeepsFolderLetterCase) {
    std::filesystem::rename(Host("WINDOWS"), Host("Windows"));
    char buffer[MAX_PATH] = {};
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 10u);
    EXPECT_STREQ(buffer, "C:\\Windows");
}

TEST_F(Files, GetWindowsDirectory_SmallBufferGivesSizeNeeded) {
    char buffer[10] = {'x'};
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 10), 11u);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(Files, GetWindowsDirectory_FailsWithoutWinroot) {
    unsetenv("WINROOT");
    char buffer[MAX_PATH] = {};
    SetLastError(0);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Files, GetWindowsDirectory_FailsWithoutWindowsFolder) {
    std::filesystem::remove_all(Host("WINDOWS"));
    char buffer[MAX_PATH] = {};
    EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

struct LookupCase {
    const char* path;
    DWORD attributes;  // INVALID_FILE_ATTRIBUTES: lookup fails with `error`
    DWORD error;
};

class PathLookup : public Machine, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(PathLookup, GetFileAttributes_LooksUpWithoutLetterCase) {
    WriteFile("WINDOWS/inf/oem7.inf", "x");
    const LookupCase& c = GetParam();
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(c.path), c.attributes) << c.path;
    if (c.attributes == INVALID_FILE_ATTRIBUTES) {
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathLookup,
    ::testing::Values(LookupCase{"C:\\WINDOWS\\inf\\oem7.inf", FILE_ATTRIBUTE_ARCHIVE, 0},
                      LookupCase{"c:\\windows\\INF\\OEM7.INF", FILE_ATTRIBUTE_ARCHIVE, 0},
                      LookupCase{"C:/Windows/inf/oem7.inf", FILE_ATTRIBUTE_ARCHIVE, 0},
                      LookupCase{"\\WINDOWS\\inf\\oem7.inf", FILE_ATTRIBUTE_ARCHIVE, 0},
                      LookupCase{"C:\\WINDOWS\\.\\system32\\..\\inf\\oem7.inf", FILE_ATTRIBUTE_ARCHIVE, 0},
                      LookupCase{"C:\\WINDOWS\\inf\\oem7.inf.", FILE_ATTRIBUTE_ARCHIVE, 0},
                      LookupCase{"C:\\WINDOWS\\inf", FILE_ATTRIBUTE_DIRECTORY, 0},
                      LookupCase{"C:\\WINDOWS\\inf\\", FILE_ATTRIBUTE_DIRECTORY, 0},
                      LookupCase{"C:\\", FILE_ATTRIBUTE_DIRECTORY, 0},
                      LookupCase{"C:\\..\\..\\WINDOWS", FILE_ATTRIBUTE_DIRECTORY, 0},
                      LookupCase{"C:\\WINDOWS\\inf\\oem8.inf", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
                      LookupCase{"C:\\WINDOWS\\nope\\oem7.inf", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
                      LookupCase{"C:\\WINDOWS\\inf\\oem7.inf\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
                      LookupCase{"D:\\WINDOWS", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
                      LookupCase{"\\\\server\\share\\x", INVALID_FILE_ATTRIBUTES, ERROR_BAD_NETPATH},
                      LookupCase{"C:\\WINDOWS\\a<b", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME},
                      LookupCase{"C:\\WINDOWS\\*.inf", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME},
                      LookupCase{"", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND}));

TEST_F(Files, GetFileAttributes_RelativePathUsesCurrentDirectory) {
    WriteFile("work/Rlog.txt", "x");
    EXPECT_EQ(GetFileAttributesA(".\\rlog.TXT"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesA("..\\WINDOWS"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(Files, GetFileAttributes_PathLengthLimit) {
    // "C:\" + name: 259 characters are a path, 260 are not.
    const std::string name259(259 - 3, 'a');
    WriteFile(name259.substr(0, 200), "x");
    const std::string fits = "C:\\" + name259.substr(0, 200) + std::string(56, '\\');
    ASSERT_EQ(fits.size(), 259u);
    EXPECT_EQ(GetFileAttributesA(fits.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    const std::string over = fits + "\\";
    EXPECT_EQ(GetFileAttributesA(over.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    const std::string huge(5000, 'x');
    EXPECT_EQ(GetFileAttributesA(huge.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(DeleteFileA(huge.c_str()), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(Files, SetFileAttributes_ClearsAndSetsReadOnly) {
    WriteFile("WINDOWS/inf/oem1.inf", "x");
    MakeReadOnly("WINDOWS/inf/oem1.inf");
    const DWORD before = GetFileAttributesA("C:\\WINDOWS\\inf\\oem1.inf");
    EXPECT_EQ(before, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(SetFileAttributesA("C:\\WINDOWS\\inf\\oem1.inf", before & ~FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\inf\\oem1.inf"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(SetFileAttributesA("C:\\WINDOWS\\inf\\OEM1.INF", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\inf\\oem1.inf") & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

TEST_F(Files, SetFileAttributes_MissingFileFails) {
    EXPECT_FALSE(SetFileAttributesA("C:\\WINDOWS\\inf\\none.inf", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

struct DeleteCase {
    const char* description;
    const char* path;
    bool readOnly;
    BOOL result;
    DWORD error;
};

std::ostream& operator<<(std::ostream& os, const DeleteCase& c) { return os << c.description; }

class DeleteFile : public Machine, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(DeleteFile, DeleteFile_GivesWindowsResult) {
    const DeleteCase& c = GetParam();
    WriteFile("WINDOWS/system32/drivers/corvid.sys", "driver");
    if (c.readOnly) MakeReadOnly("WINDOWS/system32/drivers/corvid.sys");
    SetLastError(0);
    EXPECT_EQ(DeleteFileA(c.path), c.result);
    if (!c.result) {
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_TRUE(Exists("WINDOWS/system32/drivers/corvid.sys"));
    } else {
        EXPECT_FALSE(Exists("WINDOWS/system32/drivers/corvid.sys"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteFile,
    ::testing::Values(
        DeleteCase{"existing", "C:\\WINDOWS\\system32\\drivers\\corvid.sys", false, TRUE, 0},
        DeleteCase{"other case", "C:\\windows\\SYSTEM32\\Drivers\\CORVID.SYS", false, TRUE, 0},
        DeleteCase{"read only", "C:\\WINDOWS\\system32\\drivers\\corvid.sys", true, FALSE, ERROR_ACCESS_DENIED},
        DeleteCase{"missing", "C:\\WINDOWS\\system32\\drivers\\other.sys", false, FALSE, ERROR_FILE_NOT_FOUND},
        DeleteCase{"missing folder", "C:\\WINDOWS\\system32\\nope\\corvid.sys", false, FALSE, ERROR_PATH_NOT_FOUND},
        DeleteCase{"folder", "C:\\WINDOWS\\system32\\drivers", false, FALSE, ERROR_ACCESS_DENIED}),
    [](const ::testing::TestParamInfo<DeleteCase>& info) {
        std::string name = info.param.description;
        for (char& ch : name)
            if (ch == ' ') ch = '_';
        return name;
    });

// ---- FindFirstFileA / CFileFind ------------------------------------------------------------

std::vector<std::string> ListNames(const char* pattern) {
    std::vector<std::string> names;
    CFileFind finder;
    if (finder.FindFile(pattern)) {
        BOOL more = TRUE;
        while (more) {
            more = finder.FindNextFile();
            names.push_back(static_cast<LPCTSTR>(finder.GetFileName()));
        }
    }
    finder.Close();
    return names;
}

TEST_F(Files, FindFile_ListsInNtfsOrder) {
    for (const char* name : {"oem10.inf", "Oem2.inf", "OEM1.inf", "_x.inf", "a.inf", "B.inf", "oem1.pnf", "~z"})
        WriteFile(std::string("WINDOWS/inf/") + name, "x");
    const std::vector<std::string> expected = {".", "..", "a.inf", "B.inf", "OEM1.inf", "oem1.pnf",
                                               "oem10.inf", "Oem2.inf", "_x.inf", "~z"};
    EXPECT_EQ(ListNames("C:\\WINDOWS\\inf\\*.*"), expected);
}

TEST_F(Files, FindFile_RootHasNoDotEntries) {
    const std::vector<std::string> names = ListNames("C:\\*");
    ASSERT_FALSE(names.empty());
    EXPECT_NE(names.front(), ".");
    EXPECT_EQ(names, (std::vector<std::string>{"WINDOWS", "work"}));
}

TEST_F(Files, FindFile_MaskFiltersWithoutLetterCase) {
    for (const char* name : {"oem1.inf", "OEM2.INF", "oem3.pnf", "oeminf", "x.inf"}) WriteFile(std::string("WINDOWS/inf/") + name, "x");
    EXPECT_EQ(ListNames("C:\\WINDOWS\\inf\\oem*.inf"), (std::vector<std::string>{"oem1.inf", "OEM2.INF"}));
    EXPECT_EQ(ListNames("C:\\WINDOWS\\inf\\oem?.*"), (std::vector<std::string>{"oem1.inf", "OEM2.INF", "oem3.pnf"}));
    EXPECT_EQ(ListNames("C:\\WINDOWS\\inf\\oem*.*"),
              (std::vector<std::string>{"oem1.inf", "OEM2.INF", "oem3.pnf", "oeminf"}));
}

TEST_F(Files, FindFile_PathologicalMaskStaysFast) {
    WriteFile("WINDOWS/inf/" + std::string(200, 'a'), "x");
    std::string mask;
    for (int i = 0; i < 20; ++i) mask += "*a";
    mask += "*b";
    EXPECT_TRUE(ListNames(("C:\\WINDOWS\\inf\\" + mask).c_str()).empty());
    EXPECT_EQ(ListNames(("C:\\WINDOWS\\inf\\" + mask.substr(0, mask.size() - 2)).c_str()).size(), 1u);
}

TEST_F(Files, FindFile_ExactNameIsExistenceTest) {
    WriteFile("WINDOWS/inf/oem7.inf", "x");
    CFileFind finder;
    EXPECT_TRUE(finder.FindFile("C:\\WINDOWS\\INF\\OEM7.INF"));
    finder.FindNextFile();
    EXPECT_STREQ(finder.GetFileName(), "oem7.inf");
    EXPECT_FALSE(finder.FindFile("C:\\WINDOWS\\inf\\oem8.inf"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, FindFile_MissingFolderFails) {
    CFileFind finder;
    EXPECT_FALSE(finder.FindFile("C:\\WINDOWS\\nothing\\*.*"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    unsetenv("WINROOT");
    EXPECT_FALSE(finder.FindFile("C:\\WINDOWS\\inf\\*.*"));
}

TEST_F(Files, FindFile_PatternOf260CharactersRefused) {
    std::string pattern = "C:\\WINDOWS\\inf\\" + std::string(240, '\\') + "*.*";
    pattern.resize(259);
    pattern.replace(pattern.size() - 3, 3, "*.*");
    CFileFind finder;
    EXPECT_TRUE(finder.FindFile(pattern.c_str()));
    pattern.insert(15, "\\");
    EXPECT_FALSE(finder.FindFile(pattern.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(Files, FindNextFile_LastEntryValidWhenItReturnsFalse) {
    WriteFile("WINDOWS/inf/only.inf", "x");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile("C:\\WINDOWS\\inf\\only.inf"));
    EXPECT_STREQ(finder.GetFileName(), "");  // no entry until the first move
    EXPECT_FALSE(finder.FindNextFile());    // no further entry follows...
    EXPECT_STREQ(finder.GetFileName(), "only.inf");  // ...but the one moved to is valid
    EXPECT_STREQ(finder.GetFilePath(), "C:\\WINDOWS\\inf\\only.inf");
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_STREQ(finder.GetFileName(), "only.inf");
}

TEST_F(Files, FindNextFile_TellsWhetherAnotherFollows) {
    WriteFile("WINDOWS/inf/a.inf", "x");
    WriteFile("WINDOWS/inf/b.inf", "x");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile("C:\\WINDOWS\\inf\\*.inf"));
    EXPECT_TRUE(finder.FindNextFile());
    EXPECT_STREQ(finder.GetFileName(), "a.inf");
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_STREQ(finder.GetFileName(), "b.inf");
}

TEST_F(Files, FileFinder_GivesPathAttributesAndDots) {
    std::filesystem::create_directories(Host("WINDOWS/inf/oemcache.inf"));
    WriteFile("WINDOWS/inf/oem1.inf", "x");
    MakeReadOnly("WINDOWS/inf/oem1.inf");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile("C:\\WINDOWS\\inf\\*.*"));
    finder.FindNextFile();
    EXPECT_STREQ(finder.GetFileName(), ".");
    EXPECT_TRUE(finder.IsDots());
    EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY));
    finder.FindNextFile();
    EXPECT_TRUE(finder.IsDots());
    finder.FindNextFile();
    EXPECT_STREQ(finder.GetFilePath(), "C:\\WINDOWS\\inf\\oem1.inf");
    EXPECT_FALSE(finder.IsDots());
    EXPECT_FALSE(finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_STREQ(finder.GetFilePath(), "C:\\WINDOWS\\inf\\oemcache.inf");
    EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(finder.IsDots());
}

TEST_F(Files, FileFinder_PathUsesPatternFolderAsWritten) {
    WriteFile("WINDOWS/inf/oem1.inf", "x");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile("c:\\windows\\inf\\*.inf"));
    finder.FindNextFile();
    EXPECT_STREQ(finder.GetFilePath(), "c:\\windows\\inf\\oem1.inf");
    ASSERT_TRUE(finder.FindFile("C:\\*"));
    finder.FindNextFile();
    EXPECT_STREQ(finder.GetFilePath(), "C:\\WINDOWS");
}

TEST_F(Files, FileFinder_CloseAndMisuseAreHarmless) {
    CFileFind finder;
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_STREQ(finder.GetFilePath(), "");
    EXPECT_FALSE(finder.IsDots());
    finder.Close();
    finder.Close();
    EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindClose(NULL));
}

TEST_F(Files, FindFirstFile_SnapshotNotDisturbedByDeletion) {
    WriteFile("WINDOWS/inf/a.inf", "x");
    WriteFile("WINDOWS/inf/b.inf", "x");
    WIN32_FIND_DATAA data;
    const HANDLE h = FindFirstFileA("C:\\WINDOWS\\inf\\*.inf", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\inf\\b.inf"));
    EXPECT_TRUE(FindNextFileA(h, &data));
    EXPECT_STREQ(data.cFileName, "b.inf");
    EXPECT_FALSE(FindNextFileA(h, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
}

}  // namespace
}  // namespace win32test
