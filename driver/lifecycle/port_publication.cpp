// COM port publication: the DOS device name, the SERIALCOMM device-map value and the COM-port device
// interface, all made at device add from the PortName value of the device's hardware key; and their
// withdrawal at device clean-up (only the map value needs it: the link and the interface go with the
// device object).
//
// Both run at PASSIVE_LEVEL with no other callback of the device running: publication inside device
// add before the queues deliver anything, withdrawal in the clean-up callback after I/O has ended.
#include "lifecycle.h"

namespace {

// Counted working buffers of 128 UTF-16 units.
constexpr USHORT NAME_BUFFER_BYTES = 256;

const WCHAR DOS_DEVICES_PREFIX[] = u"\\DosDevices\\";

ULONG CountUnits(const WCHAR* text)
{
    ULONG count = 0;
    while (text[count] != 0) {
        count++;
    }
    return count;
}

}  // namespace

NTSTATUS QueryPortName(PZELVIK_DEVICE_CONTEXT Context, PUNICODE_STRING PortName)
{
    WDFKEY key = NULL;
    NTSTATUS status = WdfDeviceOpenRegistryKey(Context->Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, u"PortName");
    status = WdfRegistryQueryUnicodeString(key, &valueName, NULL, PortName);

    WdfRegistryClose(key);
    return status;
}

NTSTATUS PublishComPort(PZELVIK_DEVICE_CONTEXT Context)
{
    // 1. The port-name buffer is zero-filled and offered to the query one unit short of its size, so
    //    whatever the query stores is always followed by a zero unit: the formatting and the
    //    character count below read it as a NUL-terminated string. A 128-unit name is therefore
    //    refused by the query as too long instead of being left unterminated.
    WCHAR portNameBuffer[NAME_BUFFER_BYTES / sizeof(WCHAR)];
    RtlZeroMemory(portNameBuffer, sizeof(portNameBuffer));
    UNICODE_STRING portName;
    portName.Buffer = portNameBuffer;
    portName.Length = 0;
    portName.MaximumLength = NAME_BUFFER_BYTES - sizeof(WCHAR);

    WCHAR linkNameBuffer[NAME_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING linkName;
    linkName.Buffer = linkNameBuffer;
    linkName.Length = 0;
    linkName.MaximumLength = NAME_BUFFER_BYTES;

    // 2.-4. The device's own name, held in a string object that lives as long as the device. Its
    //       buffer also names the SERIALCOMM value, so the clean-up callback can still find it.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    WDFSTRING deviceName = NULL;
    NTSTATUS status = WdfStringCreate(NULL, &attributes, &deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceRetrieveDeviceName(Context->Device, deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfStringGetUnicodeString(deviceName, &Context->DeviceName);

    // 5. No PortName, or one too long: nothing is published and the device add fails.
    status = QueryPortName(Context, &portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // 6.-7. The DOS name; a port name that makes the link longer than 128 units fails the formatting.
    status = RtlUnicodeStringPrintf(&linkName, u"%ws%ws", DOS_DEVICES_PREFIX, portNameBuffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceCreateSymbolicLink(Context->Device, &linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Context->SymbolicLinkCreated = TRUE;

    // 8. The device-map value carries the port name's characters without a terminating zero.
    ULONG characters = CountUnits(portNameBuffer);
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP, Context->DeviceName.Buffer, REG_SZ,
                                   portNameBuffer, characters * sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Context->SerialCommWritten = TRUE;

    // 9. The COM-port interface. If it fails, the map value already written is taken back by the
    //    clean-up callback, which still finds the device name.
    return WdfDeviceCreateDeviceInterface(Context->Device, &GUID_DEVINTERFACE_COMPORT, NULL);
}

void WithdrawComPort(PZELVIK_DEVICE_CONTEXT Context)
{
    if (Context->DeviceName.Buffer != NULL && Context->SerialCommWritten) {
        // Nothing can be done about a failed deletion at clean-up.
        (void)RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP, Context->DeviceName.Buffer);
    }
}
