// Process services: local memory, string length, module handle and command line.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "internal.h"

using win32host::detail::FaultFires;

namespace {

// Blocks larger than this are refused as a 32-bit process could never get them.
constexpr SIZE_T kLargestBlock = 0x7FFF0000u;

struct ModuleTag {
    char unused;
};
ModuleTag g_module;

std::string BuildCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line;
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t end = raw.find('\0', pos);
        if (end == std::string::npos) end = raw.size();
        const std::string arg = raw.substr(pos, end - pos);
        if (!line.empty()) line += ' ';
        const bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
        if (quote) line += '"';
        line += arg;
        if (quote) line += '"';
        pos = end + 1;
    }
    return line;
}

}  // namespace

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (FaultFires("LocalAlloc")) return NULL;
    if (uBytes > kLargestBlock) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    void* block = std::malloc(uBytes == 0 ? 1 : uBytes);
    if (block == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (uFlags & LMEM_ZEROINIT) std::memset(block, 0, uBytes == 0 ? 1 : uBytes);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return NULL;
}

int WINAPI lstrlenA(LPCSTR lpString) {
    if (lpString == NULL) return 0;
    return static_cast<int>(std::strlen(lpString));
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName == NULL) return reinterpret_cast<HMODULE>(&g_module);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

LPSTR WINAPI GetCommandLineA(void) {
    static std::string line = BuildCommandLine();
    return line.data();
}
