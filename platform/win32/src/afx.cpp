// Application object, class-library initialisation and the file finder.
#include <cstring>

#include "afxwin.h"
#include "internal.h"

using win32host::detail::FaultFires;

namespace {
CWinApp* g_app = nullptr;  // the program's one application object
}  // namespace

CWinApp::CWinApp(LPCTSTR lpszAppName)
    : m_pszAppName(lpszAppName), m_hInstance(NULL), m_lpCmdLine(NULL), m_nCmdShow(0) {
    if (g_app == nullptr) g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }

CWinApp* AFXAPI AfxGetApp() { return g_app; }

HINSTANCE AFXAPI AfxGetInstanceHandle() { return g_app == nullptr ? NULL : g_app->m_hInstance; }

BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
    (void)hPrevInstance;  // always NULL for a 32-bit program
    if (FaultFires("AfxWinInit")) return FALSE;
    if (g_app != nullptr) {
        g_app->m_hInstance = hInstance;
        g_app->m_lpCmdLine = lpCmdLine;
        g_app->m_nCmdShow = nCmdShow;
    }
    return TRUE;
}

// ---- CFileFind -----------------------------------------------------------------------------

CFileFind::CFileFind() : m_hFind(INVALID_HANDLE_VALUE), m_hasNext(false), m_hasCurrent(false) {
    std::memset(&m_next, 0, sizeof m_next);
    std::memset(&m_current, 0, sizeof m_current);
}

CFileFind::~CFileFind() { Close(); }

BOOL CFileFind::FindFile(LPCTSTR pstrName, DWORD dwUnused) {
    (void)dwUnused;
    Close();
    if (pstrName == NULL) pstrName = "*.*";
    m_hFind = FindFirstFileA(pstrName, &m_next);
    if (m_hFind == INVALID_HANDLE_VALUE) return FALSE;
    m_hasNext = true;

    // The root is the pattern's folder as written; "C:\*.*" has the root "C:\".
    const char* lastSep = std::strrchr(pstrName, '\\');
    const char* lastSlash = std::strrchr(pstrName, '/');
    if (lastSlash != nullptr && (lastSep == nullptr || lastSlash > lastSep)) lastSep = lastSlash;
    if (lastSep == nullptr) {
        m_strRoot = (std::strlen(pstrName) >= 2 && pstrName[1] == ':') ? CString(pstrName, 2) : CString(".");
    } else {
        m_strRoot = CString(pstrName, static_cast<int>(lastSep - pstrName));
        if (m_strRoot.GetLength() == 2 && m_strRoot[1] == ':') m_strRoot += '\\';
    }
    return TRUE;
}

BOOL CFileFind::FindNextFile() {
    if (m_hFind == INVALID_HANDLE_VALUE || !m_hasNext) return FALSE;
    m_current = m_next;
    m_hasCurrent = true;
    m_hasNext = FindNextFileA(m_hFind, &m_next) != FALSE;
    return m_hasNext ? TRUE : FALSE;
}

void CFileFind::Close() {
    if (m_hFind != INVALID_HANDLE_VALUE) (void)FindClose(m_hFind);  // our own live handle
    m_hFind = INVALID_HANDLE_VALUE;
    m_hasNext = false;
    m_hasCurrent = false;
    m_strRoot.Empty();
}

CString CFileFind::GetFileName() const { return m_hasCurrent ? CString(m_current.cFileName) : CString(); }

CString CFileFind::GetFilePath() const {
    if (!m_hasCurrent) return CString();
    CString path = m_strRoot;
    if (path.Right(1) != "\\" && path.Right(1) != "/") path += '\\';
    path += m_current.cFileName;
    return path;
}

CString CFileFind::GetRoot() const { return m_strRoot; }

BOOL CFileFind::MatchesMask(DWORD dwMask) const {
    return (m_hasCurrent && (m_current.dwFileAttributes & dwMask) != 0) ? TRUE : FALSE;
}

BOOL CFileFind::IsDots() const {
    if (!m_hasCurrent || !(m_current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return FALSE;
    return (std::strcmp(m_current.cFileName, ".") == 0 || std::strcmp(m_current.cFileName, "..") == 0) ? TRUE : FALSE;
}

BOOL CFileFind::IsDirectory() const { return MatchesMask(FILE_ATTRIBUTE_DIRECTORY); }
BOOL CFileFind::IsReadOnly() const { return MatchesMask(FILE_ATTRIBUTE_READONLY); }
DWORD CFileFind::GetLength() const { return m_hasCurrent ? m_current.nFileSizeLow : 0; }
