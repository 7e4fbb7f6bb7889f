// Test fixture: a scratch machine folder standing for C:\, with WINROOT pointing at it and the
// process's current directory inside it, removed again (with every injected fault) after the test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "win32_host.h"

namespace win32test {

class Machine : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        root_ = fs::path(WIN32_TEST_SCRATCH) / name;
        fs::remove_all(root_);
        fs::create_directories(root_ / "WINDOWS" / "inf");
        fs::create_directories(root_ / "WINDOWS" / "system32" / "drivers");
        fs::create_directories(root_ / "work");
        oldCwd_ = fs::current_path();
        fs::current_path(root_ / "work");
        const char* old = std::getenv("WINROOT");
        hadRoot_ = old != nullptr;
        if (hadRoot_) oldRoot_ = old;
        setenv("WINROOT", root_.c_str(), 1);
        win32host::ResetFaults();
    }

    void TearDown() override {
        namespace fs = std::filesystem;
        win32host::ResetFaults();
        fs::current_path(oldCwd_);
        if (hadRoot_)
            setenv("WINROOT", oldRoot_.c_str(), 1);
        else
            unsetenv("WINROOT");
        MakeWritable(root_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Host path of a machine-relative path written with '/'.
    std::string Host(const std::string& relative) const { return (root_ / relative).string(); }

    void WriteFile(const std::string& relative, const std::string& bytes) const {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    std::string ReadFile(const std::string& relative) const {
        std::ifstream in(root_ / relative, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    bool Exists(const std::string& relative) const { return std::filesystem::exists(root_ / relative); }

    void MakeReadOnly(const std::string& relative) const {
        chmod(Host(relative).c_str(), 0444);
    }

    std::filesystem::path root_;

private:
    static void MakeWritable(const std::filesystem::path& dir) {
        std::error_code ec;
        if (!std::filesystem::exists(dir, ec)) return;
        chmod(dir.c_str(), 0755);
        for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            chmod(it->path().c_str(), it->is_directory() ? 0755 : 0644);
    }

    std::filesystem::path oldCwd_;
    std::string oldRoot_;
    bool hadRoot_ = false;
};

}  // namespace win32test
