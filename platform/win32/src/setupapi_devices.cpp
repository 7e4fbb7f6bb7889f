// Setup API device functions over the machine's device store (WINROOT/devices.tsv).
//
// A device information set is a snapshot of the store taken when the set is created; removing a
// device rewrites the store (new file, then rename over the old one) and leaves the snapshot, so
// a walk by index over the set sees every device once.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>

#include "internal.h"
#include "setupapi.h"
#include "win32_host.h"

using namespace win32host::detail;

namespace {

struct Device {
    std::string instanceId;
    bool present = false;
    std::vector<std::string> hardwareIds;
};

struct DeviceSet {
    std::vector<Device> devices;
};

std::mutex g_setLock;
std::set<const DeviceSet*> g_sets;

// Parses one line of the store (without its line end). Returns false for lines that are not devices.
bool ParseDeviceLine(const std::string& text, Device* device) {
    if (text.empty() || text[0] == '#') return false;
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        const size_t tab = text.find('\t', pos);
        fields.push_back(text.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos) break;
        pos = tab + 1;
    }
    if (fields.size() < 2 || fields[0].empty()) return false;
    if (EqualsNoCase(fields[1], "present"))
        device->present = true;
    else if (EqualsNoCase(fields[1], "absent"))
        device->present = false;
    else
        return false;
    device->instanceId = fields[0];
    device->hardwareIds.clear();
    // A NUL byte would split an ID inside the multi-string; the ID ends there instead.
    for (size_t i = 2; i < fields.size(); ++i) {
        const std::string id = fields[i].substr(0, fields[i].find('\0'));
        if (!id.empty()) device->hardwareIds.push_back(id);
    }
    return true;
}

// Splits the store into lines, each with its own line end, so a rewrite keeps them unchanged.
std::vector<std::string> SplitKeepingEnds(const std::string& content) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        end = end == std::string::npos ? content.size() : end + 1;
        lines.push_back(content.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

std::string StripLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// Reads the store. A missing store (or no WINROOT) is an empty machine.
bool ReadStore(std::string* content, DWORD* error, bool* missing) {
    *missing = false;
    const std::string path = win32host::DeviceStorePath();
    if (path.empty()) {
        *missing = true;
        return true;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            *missing = true;
            return true;
        }
        *error = ErrorFromErrno(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = ERROR_ACCESS_DENIED;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = ErrorFromErrno(errno);
        return false;
    }
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

DWORD RemoveFromStore(const std::string& instanceId) {
    std::string content;
    DWORD error = ERROR_SUCCESS;
    bool missing = false;
    if (!ReadStore(&content, &error, &missing)) return error;
    if (missing) return ERROR_NO_SUCH_DEVINST;
    // Windows will not replace a read-only file; the host's rename would, so it is checked here.
    struct stat st;
    if (stat(win32host::DeviceStorePath().c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;

    std::string kept;
    bool found = false;
    for (const std::string& line : SplitKeepingEnds(content)) {
        Device device;
        if (ParseDeviceLine(StripLineEnd(line), &device) && EqualsNoCase(device.instanceId, instanceId)) {
            found = true;
            continue;
        }
        kept += line;
    }
    if (!found) return ERROR_NO_SUCH_DEVINST;

    const std::string path = win32host::DeviceStorePath();
    const std::string temp = path + ".new." + std::to_string(getpid());
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    if (out == nullptr) return ErrorFromErrno(errno);
    bool ok = std::fwrite(kept.data(), 1, kept.size(), out) == kept.size();
    ok = std::fflush(out) == 0 && ok;
    ok = fsync(fileno(out)) == 0 && ok;
    const int writeErrno = errno;
    ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        std::remove(temp.c_str());
        return writeErrno != 0 ? ErrorFromErrno(writeErrno) : ERROR_WRITE_FAULT;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        return ErrorFromErrno(err);
    }
    return ERROR_SUCCESS;
}

const DeviceSet* LookupSet(HDEVINFO handle) {
    std::lock_guard<std::mutex> guard(g_setLock);
    auto* set = static_cast<const DeviceSet*>(handle);
    return g_sets.count(set) != 0 ? set : nullptr;
}

// The device a record names within its set, or NULL with last error set.
const Device* DeviceOf(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
    const DeviceSet* set = LookupSet(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (data == NULL || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(data == NULL ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved >= set->devices.size() || data->DevInst != data->Reserved + 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set->devices[data->Reserved];
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    if (FaultFires("SetupDiGetClassDevsA")) return INVALID_HANDLE_VALUE;
    if (ClassGuid == NULL && (Flags & DIGCF_ALLCLASSES) == 0 && (Flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string content;
    DWORD error = ERROR_SUCCESS;
    bool missing = false;
    if (!ReadStore(&content, &error, &missing)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<DeviceSet>();
    // The store records no device classes or interfaces: a class or interface query finds nothing.
    const bool everything = (Flags & DIGCF_ALLCLASSES) != 0 && (Flags & DIGCF_DEVICEINTERFACE) == 0;
    if (!missing && everything) {
        const std::string prefix = Enumerator == NULL ? std::string() : std::string(Enumerator) + "\\";
        for (const std::string& line : SplitKeepingEnds(content)) {
            Device device;
            if (!ParseDeviceLine(StripLineEnd(line), &device)) continue;
            if ((Flags & DIGCF_PRESENT) && !device.present) continue;
            if (!prefix.empty() && !EqualsNoCase(device.instanceId.substr(0, prefix.size()), prefix)) continue;
            set->devices.push_back(std::move(device));
        }
    }
    std::lock_guard<std::mutex> guard(g_setLock);
    g_sets.insert(set.get());
    SetLastError(NO_ERROR);
    return set.release();
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    if (FaultFires("SetupDiEnumDeviceInfo")) return FALSE;
    const DeviceSet* set = LookupSet(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (MemberIndex >= set->devices.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::memset(&DeviceInfoData->ClassGuid, 0, sizeof DeviceInfoData->ClassGuid);
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex;
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType,
                                              PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize) {
    if (FaultFires("SetupDiGetDeviceRegistryPropertyA")) return FALSE;
    const Device* device = DeviceOf(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr) return FALSE;
    if (Property >= SPDRP_MAXIMUM_PROPERTY) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    if (Property != SPDRP_HARDWAREID || device->hardwareIds.empty()) {
        SetLastError(ERROR_INVALID_DATA);  // the device has no such property
        return FALSE;
    }
    if (PropertyBuffer == NULL && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string multi;
    for (const std::string& id : device->hardwareIds) {
        multi += id;
        multi += '\0';
    }
    multi += '\0';
    const DWORD required = static_cast<DWORD>(multi.size());
    if (RequiredSize != NULL) *RequiredSize = required;
    if (PropertyRegDataType != NULL) *PropertyRegDataType = REG_MULTI_SZ;
    if (PropertyBuffer == NULL || PropertyBufferSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(PropertyBuffer, multi.data(), required);
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    const Device* device = DeviceOf(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr) return FALSE;
    const DWORD required = static_cast<DWORD>(device->instanceId.size() + 1);
    if (RequiredSize != NULL) *RequiredSize = required;
    if (DeviceInstanceId == NULL || DeviceInstanceIdSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, device->instanceId.c_str(), required);
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    if (FaultFires("SetupDiCallClassInstaller")) return FALSE;
    if (LookupSet(DeviceInfoSet) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (InstallFunction != DIF_REMOVE) {
        SetLastError(ERROR_DI_DO_DEFAULT);
        return FALSE;
    }
    if (DeviceInfoData == NULL) {
        SetLastError(ERROR_NO_DEVICE_SELECTED);
        return FALSE;
    }
    const Device* device = DeviceOf(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr) return FALSE;
    const DWORD result = RemoveFromStore(device->instanceId);
    SetLastError(result);
    return result == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::lock_guard<std::mutex> guard(g_setLock);
    auto* set = static_cast<DeviceSet*>(DeviceInfoSet);
    if (g_sets.erase(set) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete set;
    SetLastError(NO_ERROR);
    return TRUE;
}
