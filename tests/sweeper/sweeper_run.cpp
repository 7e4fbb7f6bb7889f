#include "sweeper_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Gives every entry its owner write permission back so the tree can be removed by any user.
void MakeWritable(const fs::path& root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        ec.clear();
    }
}

}  // namespace

SweeperResult RunSweeper(const fs::path& machineRoot, const fs::path& workDir, const SweeperRunOptions& options) {
    SweeperResult result;
    const fs::path outPath = workDir.parent_path() / "stdout.bin";
    const fs::path errPath = workDir.parent_path() / "stderr.bin";

    std::vector<std::string> args{SWEEPER_BINARY};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(workDir.c_str()) != 0) _exit(127);
        if (options.setWinRoot)
            setenv("WINROOT", machineRoot.c_str(), 1);
        else
            unsetenv("WINROOT");
        if (options.faults.empty())
            unsetenv("WIN32_FAULTS");
        else
            setenv("WIN32_FAULTS", options.faults.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.console = ReadAll(outPath);
    result.errors = ReadAll(errPath);
    const fs::path logPath = workDir / "Rlog.txt";
    std::error_code ec;
    result.logExists = fs::is_regular_file(logPath, ec);
    if (result.logExists) result.log = ReadAll(logPath);
    return result;
}

std::string CrLfLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return text;
}

std::string ConsoleFor(const std::vector<std::string>& removedIds) {
    std::vector<std::string> lines{"Remove  begin...."};
    for (const std::string& id : removedIds) lines.push_back("Remove  " + id);
    lines.push_back("Remove  end...");
    return CrLfLines(lines);
}

void SweeperMachineTest::SetUp() {
    std::string pattern = (fs::path(::testing::TempDir()) / "sweeper-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    temp_ = pattern;
    work_ = temp_ / "work";
    fs::create_directories(work_);
    machine_ = machine::MachineFolder(temp_ / "machine");
    machine_.CreateWindowsTree();
}

void SweeperMachineTest::TearDown() {
    if (temp_.empty()) return;
    MakeWritable(temp_);
    std::error_code ec;
    fs::remove_all(temp_, ec);
}

void SweeperMachineTest::ExpectCleanExit(const SweeperResult& r, int exitCode) {
    EXPECT_EQ(r.signal, 0) << "ended by a signal";
    EXPECT_EQ(r.exitCode, exitCode);
    EXPECT_EQ(r.errors, "");
}
