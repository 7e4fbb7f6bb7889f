// Test support: a machine folder in a fresh temporary directory, and a run of the real sweeper
// program on it (WINROOT set to the machine, its own working directory, optional faults).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "machine_folder.h"

struct SweeperResult {
    int exitCode = -1;        // the program's exit code; -1 when it did not exit normally
    int signal = 0;           // the signal that ended it, if any
    std::string console;      // everything written to standard output
    std::string errors;       // everything written to standard error (sanitizer reports land here)
    bool logExists = false;   // Rlog.txt in the working directory
    std::string log;          // its bytes
};

struct SweeperRunOptions {
    std::string faults;                    // WIN32_FAULTS value; empty: not set
    std::vector<std::string> arguments;    // command-line arguments (the tool ignores them)
    bool setWinRoot = true;                // false: run without WINROOT (no drive C:)
};

// Runs the sweeper binary with workDir as current directory and machineRoot as WINROOT.
SweeperResult RunSweeper(const std::filesystem::path& machineRoot, const std::filesystem::path& workDir,
                         const SweeperRunOptions& options = {});

// Joins lines with CR LF after each, as the tool's text-mode streams store them.
std::string CrLfLines(const std::vector<std::string>& lines);

// A fixture with a temporary machine (Windows tree created) and a working directory beside it.
class SweeperMachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    SweeperResult Run(const SweeperRunOptions& options = {}) { return RunSweeper(machine_.Root(), work_, options); }

    // Expects a clean end: normal exit with the code given and nothing on standard error.
    static void ExpectCleanExit(const SweeperResult& r, int exitCode = 0);

    std::filesystem::path temp_;
    std::filesystem::path work_;
    machine::MachineFolder machine_{std::filesystem::path()};
};

// Console output of a run that removed the given hardware IDs, in order.
std::string ConsoleFor(const std::vector<std::string>& removedIds);
