// Device removal: every device the Setup API knows of, in all classes and attached or not, whose
// hardware IDs carry the product's USB vendor ID gets a DIF_REMOVE request.
//
// Every hardware ID walked goes to the log followed by two blanks and no line end; a removal ends
// the log line with the last-error value the request left. Runs on the tool's only thread; the
// removal requests are synchronous.
#include "sweeper.h"

#include <mbstring.h>

static BOOL CarriesVendorId(LPCSTR hardwareId)
{
    const unsigned char* id = reinterpret_cast<const unsigned char*>(hardwareId);
    return _mbsstr(id, reinterpret_cast<const unsigned char*>("VID_3759")) != NULL ||
           _mbsstr(id, reinterpret_cast<const unsigned char*>("Vid_3759")) != NULL;
}

// Logs each ID of the multi-string in buffer[0, dataSize) and removes the device for each one that
// carries the vendor ID: a device listing two such IDs gets two requests. The walk stays inside the
// returned data even when the list lacks its terminating NULs.
static void RemoveMatchingDevice(HDEVINFO devices, SP_DEVINFO_DATA& data, LPCSTR buffer, DWORD dataSize)
{
    DWORD offset = 0;
    while (offset < dataSize) {
        DWORD length = 0;
        while (offset + length < dataSize && buffer[offset + length] != '\0')
            length++;
        CString hardwareId(buffer + offset, static_cast<int>(length));

        Rlog << static_cast<LPCSTR>(hardwareId) << "  ";
        if (CarriesVendorId(hardwareId)) {
            crt::cout << "Remove  " << static_cast<LPCSTR>(hardwareId) << std::endl;
            // The request's own result is not used: the last-error value it leaves tells the tale.
            (void)SetupDiCallClassInstaller(DIF_REMOVE, devices, &data);
            DWORD error = GetLastError();
            Rlog << error << std::endl;
        }

        offset += length + 1;
        if (offset >= dataSize || buffer[offset] == '\0')
            break;
    }
}

void RemoveDevices()
{
    HDEVINFO devices = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE)
        return;

    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(SP_DEVINFO_DATA);

    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &data); index++) {
        LPSTR buffer = NULL;
        DWORD bufferSize = 0;
        DWORD required = 0;
        DWORD type = 0;
        BOOL hasIds = TRUE;

        while (!SetupDiGetDeviceRegistryPropertyA(devices, &data, SPDRP_HARDWAREID, &type,
                                                  reinterpret_cast<PBYTE>(buffer), bufferSize, &required)) {
            DWORD error = GetLastError();
            if (error == ERROR_INVALID_DATA) {
                hasIds = FALSE;  // no hardware-ID property: nothing to log or remove
                break;
            }
            // A buffer that was already as large as asked for and still too small would loop
            // for ever; it ends the walk like any other unexpected answer.
            if (error == ERROR_INSUFFICIENT_BUFFER && required > bufferSize) {
                if (buffer != NULL)
                    LocalFree(buffer);
                buffer = static_cast<LPSTR>(LocalAlloc(LMEM_ZEROINIT, required));
                if (buffer != NULL) {
                    bufferSize = required;
                    continue;
                }
                bufferSize = 0;
            }
            Rlog << "enum device err :" << GetLastError() << std::endl;
            if (buffer != NULL)
                LocalFree(buffer);
            SetupDiDestroyDeviceInfoList(devices);
            return;
        }

        if (hasIds && buffer != NULL && buffer[0] != '\0') {
            // The property's size on success bounds the data; the buffer bounds it in any case.
            DWORD dataSize = (required != 0 && required < bufferSize) ? required : bufferSize;
            RemoveMatchingDevice(devices, data, buffer, dataSize);
        }

        if (buffer != NULL)
            LocalFree(buffer);
    }

    DWORD error = GetLastError();
    if (error != 0 && error != ERROR_NO_MORE_ITEMS)
        Rlog << "enum device err :" << error << std::endl;
    SetupDiDestroyDeviceInfoList(devices);
}
