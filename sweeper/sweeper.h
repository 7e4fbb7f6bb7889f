// sweeper: takes the diagnostic-port driver package off the machine.
//
// The tool runs on one thread from start to end: it lists the installed package INFs (oem*inf) of
// the Windows INF folder, removes the driver file, INF and PNF of each package that installs a
// device with the product's USB vendor ID, then asks Plug and Play to remove every device whose
// hardware IDs carry that vendor ID. What it does goes to Rlog.txt in the current directory and a
// few lines to the console.
#pragma once

#include <afxwin.h>
#include <setupapi.h>
#include <textstream.h>

#include <vector>

// The log, ".\Rlog.txt": opened in text mode, truncating and deny-none, during program start-up
// and closed at exit. The program defines it next to its application object (main.cpp); a line is
// ended with std::endl, which writes the line feed and flushes.
extern crt::ofstream Rlog;

// Full paths of the directory entries that passed the INF-name filter, in discovery order.
typedef std::vector<CString> CandidateList;

// What the analysis of one candidate INF found. The main flow owns one record and empties it
// before every candidate.
struct InfPackageInfo {
    HINF infHandle;          // open only while found is set; RemoveDriverFiles closes it
    BOOL found;              // a models-section line's hardware ID carries the vendor ID
    BOOL googleStyle;        // decorated "google" models section; the driver file is left alone
    INFCONTEXT lineContext;  // scratch line position
    CString infPath;         // full path of the matched INF
};

// Puts the record into its empty state.
void ResetInfPackageInfo(InfPackageInfo& info);

// The main flow: returns the exit code (0; 1 when the Windows directory cannot be read or the
// class library cannot be initialised).
int SweeperMain();

// Appends to candidates every entry of directory whose name starts with "oem" and ends with "inf"
// (case-sensitive), clearing its read-only attribute, and searches such entries that are
// directories the same way, a directory's own path before its contents.
void ScanInfDirectory(CString directory, CandidateList& candidates);

// Reads field fieldIndex of the INF line at context into text. Returns 0, or the last-error code of
// the call that failed (text then keeps its old value when the field does not exist).
DWORD GetInfStringField(PINFCONTEXT context, DWORD fieldIndex, CString& text);

// Decides whether the INF at path installs a device with the product's vendor ID. On a match the
// record holds the open INF, the matching models line and the path, and found is set; otherwise no
// INF is left open. Returns found.
BOOL AnalyzeInf(LPCSTR path, InfPackageInfo& info);

// For a found record: deletes the driver file the INF names first under [SourceDisksFiles] from the
// system drivers folder (not for google-style packages), then the INF and its PNF. Closes the INF
// on every path; failures go to the log.
void RemoveDriverFiles(InfPackageInfo& info);

// Sends DIF_REMOVE for every device, attached or not, with a hardware ID carrying the vendor ID.
void RemoveDevices();
