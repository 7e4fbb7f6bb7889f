// Last error and fault injection. The fault table is created on first use, at which point the
// WIN32_FAULTS environment variable is read. The removal tool is single-threaded; the table is
// still guarded by a mutex so tests may run layer calls from helper threads.
#include <cstdlib>
#include <map>
#include <mutex>

#include "internal.h"
#include "win32_host.h"

namespace {

thread_local DWORD g_lastError = 0;

struct Fault {
    DWORD error = 0;
    int skip = 0;
    int count = -1;
    int calls = 0;
};

struct FaultTable {
    std::mutex lock;
    std::map<std::string, Fault> faults;
};

bool ParseNumber(const std::string& text, long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') return false;
    *value = v;
    return true;
}

bool AddFromList(FaultTable& table, const std::string& list) {
    bool allGood = true;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        const std::string entry = list.substr(pos, comma - pos);
        pos = comma + 1;
        if (entry.empty()) continue;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) {
            allGood = false;
            continue;
        }
        const std::string name = entry.substr(0, eq);
        std::string rest = entry.substr(eq + 1);
        long long numbers[3] = {0, 0, -1};
        bool ok = true;
        for (int i = 0; i < 3 && ok; ++i) {
            const size_t colon = rest.find(':');
            const std::string part = rest.substr(0, colon);
            ok = ParseNumber(part, &numbers[i]);
            if (colon == std::string::npos) break;
            rest = rest.substr(colon + 1);
            if (i == 2) ok = false;  // more than three numbers
        }
        if (!ok || numbers[0] < 0 || numbers[0] > 0xFFFFFFFFLL || numbers[1] < 0) {
            allGood = false;
            continue;
        }
        Fault f;
        f.error = static_cast<DWORD>(numbers[0]);
        f.skip = static_cast<int>(numbers[1] > 0x7FFFFFFF ? 0x7FFFFFFF : numbers[1]);
        f.count = static_cast<int>(numbers[2] > 0x7FFFFFFF ? 0x7FFFFFFF : (numbers[2] < 0 ? -1 : numbers[2]));
        table.faults[name] = f;
    }
    return allGood;
}

FaultTable& Table() {
    static FaultTable* table = [] {
        auto* t = new FaultTable;  // never destroyed: usable from static destructors too
        if (const char* list = std::getenv("WIN32_FAULTS")) (void)AddFromList(*t, list);
        return t;
    }();
    return *table;
}

}  // namespace

DWORD WINAPI GetLastError(void) { return g_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { g_lastError = dwErrCode; }

namespace win32host {

void InjectFault(const std::string& call, DWORD lastError, int skip, int count) {
    FaultTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    Fault f;
    f.error = lastError;
    f.skip = skip < 0 ? 0 : skip;
    f.count = count < 0 ? -1 : count;
    t.faults[call] = f;
}

void ClearFault(const std::string& call) {
    FaultTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.faults.erase(call);
}

void ResetFaults() {
    FaultTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.faults.clear();
}

int FaultCallCount(const std::string& call) {
    FaultTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.faults.find(call);
    return it == t.faults.end() ? 0 : it->second.calls;
}

bool InjectFaultList(const std::string& list) {
    FaultTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    return AddFromList(t, list);
}

namespace detail {

bool FaultFires(const char* call) {
    FaultTable& t = Table();
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.faults.empty()) return false;
        auto it = t.faults.find(call);
        if (it == t.faults.end()) return false;
        Fault& f = it->second;
        const int index = f.calls++;
        if (index < f.skip) return false;
        if (f.count >= 0 && index - f.skip >= f.count) return false;
        error = f.error;
    }
    SetLastError(error);
    return true;
}

}  // namespace detail
}  // namespace win32host
