// Class library for the removal tool: application object and initialisation, the reference-counted
// 8-bit string CString and the file finder CFileFind.
#pragma once

#include "windows.h"

#define AFXAPI

// ---------------------------------------------------------------------------------------------
// CString: 8-bit string with shared, reference-counted storage; copies share the characters until
// one of them is changed. Positions and counts are in characters (bytes).
// ---------------------------------------------------------------------------------------------
class CString {
public:
    CString();
    CString(const CString& other);
    CString(LPCTSTR text);  // NULL gives the empty string
    CString(LPCTSTR text, int length);
    CString(TCHAR ch, int repeat = 1);
    ~CString();

    CString& operator=(const CString& other);
    CString& operator=(LPCTSTR text);
    CString& operator=(TCHAR ch);

    int GetLength() const;
    BOOL IsEmpty() const;
    void Empty();
    operator LPCTSTR() const;  // never NULL
    TCHAR GetAt(int index) const;
    TCHAR operator[](int index) const;
    void SetAt(int index, TCHAR ch);

    // The first / last count characters; the whole string when it is shorter, empty for count <= 0.
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    CString& operator+=(const CString& other);
    CString& operator+=(LPCTSTR text);
    CString& operator+=(TCHAR ch);

    int Compare(LPCTSTR text) const;        // <0, 0, >0; byte order
    int CompareNoCase(LPCTSTR text) const;  // ASCII letters compared without case
    int Find(TCHAR ch, int start = 0) const;       // -1 when absent
    int Find(LPCTSTR text, int start = 0) const;
    int ReverseFind(TCHAR ch) const;
    CString& MakeUpper();
    CString& MakeLower();

    // Writable storage of at least minLength characters plus a NUL; the contents are kept.
    // ReleaseBuffer(-1) takes the length from the NUL-terminated contents.
    LPTSTR GetBuffer(int minLength);
    LPTSTR GetBufferSetLength(int length);
    void ReleaseBuffer(int newLength = -1);

    void Format(LPCTSTR format, ...);

    struct Data;  // shared storage, defined by the implementation

private:
    Data* data_;  // NULL for the empty string

    void MakeUnique(int capacity);
    void Assign(LPCTSTR text, int length);
    void Append(LPCTSTR text, int length);
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, LPCTSTR b);
CString operator+(LPCTSTR a, const CString& b);
CString operator+(const CString& a, TCHAR b);
CString operator+(TCHAR a, const CString& b);

bool operator==(const CString& a, const CString& b);
bool operator==(const CString& a, LPCTSTR b);
bool operator==(LPCTSTR a, const CString& b);
bool operator!=(const CString& a, const CString& b);
bool operator!=(const CString& a, LPCTSTR b);
bool operator!=(LPCTSTR a, const CString& b);
bool operator<(const CString& a, const CString& b);
bool operator<(const CString& a, LPCTSTR b);
bool operator<(LPCTSTR a, const CString& b);
bool operator>(const CString& a, const CString& b);
bool operator>(const CString& a, LPCTSTR b);
bool operator>(LPCTSTR a, const CString& b);
bool operator<=(const CString& a, const CString& b);
bool operator<=(const CString& a, LPCTSTR b);
bool operator<=(LPCTSTR a, const CString& b);
bool operator>=(const CString& a, const CString& b);
bool operator>=(const CString& a, LPCTSTR b);
bool operator>=(LPCTSTR a, const CString& b);

// ---------------------------------------------------------------------------------------------
// Application object. A program defines exactly one global CWinApp; AfxWinInit attaches the module
// handle and command line to it.
// ---------------------------------------------------------------------------------------------
class CWinApp {
public:
    explicit CWinApp(LPCTSTR lpszAppName = NULL);
    virtual ~CWinApp();
    virtual BOOL InitInstance();
    virtual int ExitInstance();

    LPCTSTR m_pszAppName;
    HINSTANCE m_hInstance;
    LPTSTR m_lpCmdLine;
    int m_nCmdShow;

    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
};

CWinApp* AFXAPI AfxGetApp();
HINSTANCE AFXAPI AfxGetInstanceHandle();
// Initialises the class library for a console program; nonzero on success.
BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow);

// ---------------------------------------------------------------------------------------------
// CFileFind: directory search over FindFirstFileA / FindNextFileA.
//
//   if (finder.FindFile(pattern)) {
//       BOOL more = TRUE;
//       while (more) { more = finder.FindNextFile(); ... finder.GetFileName() ... }
//   }
//   finder.Close();
//
// FindFile starts the search (FALSE when nothing matches or the pattern is refused, e.g. 260
// characters or more; GetLastError tells why); it does not yet move to an entry. FindNextFile
// moves to the next entry and returns whether yet another entry follows; the entry moved to is
// valid even when it returns FALSE. Before the first FindNextFile, and after Close, the accessors
// give empty names and no attributes.
// ---------------------------------------------------------------------------------------------
class CFileFind {
public:
    CFileFind();
    virtual ~CFileFind();

    virtual BOOL FindFile(LPCTSTR pstrName = NULL, DWORD dwUnused = 0);  // NULL means "*.*"
    virtual BOOL FindNextFile();
    void Close();

    CString GetFileName() const;
    // The search folder as given in the pattern, a backslash, the name.
    CString GetFilePath() const;
    CString GetRoot() const;
    BOOL MatchesMask(DWORD dwMask) const;  // any of the given attribute bits set
    BOOL IsDots() const;                   // "." or ".."
    BOOL IsDirectory() const;
    BOOL IsReadOnly() const;
    DWORD GetLength() const;

    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

private:
    HANDLE m_hFind;
    bool m_hasNext;
    bool m_hasCurrent;
    WIN32_FIND_DATAA m_next;
    WIN32_FIND_DATAA m_current;
    CString m_strRoot;
};
