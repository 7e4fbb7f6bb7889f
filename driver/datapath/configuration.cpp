// Reading the eight configuration values from the device's hardware key, once per device at device
// add (PASSIVE_LEVEL, nothing else touches the context yet), and choosing the control-request
// operations they select.
#include <stddef.h>

#include "datapath.h"
#include "../control/control.h"

namespace {

// Caps the request pool: every pooled request holds a 4096-byte non-paged buffer, so an absurd count
// would drain the pool before the FIFO is allocated. 256 requests (1 MiB) is far beyond any use.
constexpr ULONG MAX_BULK_IN_REQUESTS = 256;

enum class ValueKind { Count, Boolean, KibiBytes };

struct ConfigurationValue {
    PCWSTR Name;
    ValueKind Kind;
    size_t Offset;  // of the ULONG or BOOLEAN field in ZELVIK_DEVICE_CONTEXT
};

// Queried in this order; a value that cannot be read leaves its default.
const ConfigurationValue CONFIGURATION_VALUES[] = {
    {u"VendorRequestTimeoutValue", ValueKind::Count, offsetof(ZELVIK_DEVICE_CONTEXT, VendorRequestTimeoutValue)},
    {u"VeltrixVendorRequest", ValueKind::Boolean, offsetof(ZELVIK_DEVICE_CONTEXT, VeltrixVendorRequest)},
    {u"CdcControlLineState", ValueKind::Boolean, offsetof(ZELVIK_DEVICE_CONTEXT, CdcControlLineState)},
    {u"UseContinuousRead", ValueKind::Boolean, offsetof(ZELVIK_DEVICE_CONTEXT, UseContinuousRead)},
    {u"UsbEnableZLP", ValueKind::Boolean, offsetof(ZELVIK_DEVICE_CONTEXT, UsbEnableZLP)},
    {u"RxFifoSize", ValueKind::KibiBytes, offsetof(ZELVIK_DEVICE_CONTEXT, RxFifoSizeBytes)},
    {u"UsbBulkCount", ValueKind::Count, offsetof(ZELVIK_DEVICE_CONTEXT, UsbBulkCount)},
    {u"UsbBulkInLength", ValueKind::Count, offsetof(ZELVIK_DEVICE_CONTEXT, UsbBulkInLength)},
};

// "RxFifoSize" counts KiB. A value whose byte count does not fit in 32 bits is taken as the
// largest size rather than wrapped to a small one; the FIFO allocation then fails and so does the
// device add, instead of the port silently running with a tiny ring.
ULONG KibiBytesToBytes(ULONG kibiBytes)
{
    ULONGLONG bytes = (ULONGLONG)kibiBytes << 10;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFul : (ULONG)bytes;
}

void StoreValue(PZELVIK_DEVICE_CONTEXT Context, const ConfigurationValue& value, ULONG data)
{
    PUCHAR field = (PUCHAR)Context + value.Offset;
    switch (value.Kind) {
    case ValueKind::Boolean:
        *(BOOLEAN*)field = data != 0 ? TRUE : FALSE;
        break;
    case ValueKind::KibiBytes:
        *(ULONG*)field = KibiBytesToBytes(data);
        break;
    case ValueKind::Count:
        *(ULONG*)field = data;
        break;
    }
}

void QueryConfigurationValues(PZELVIK_DEVICE_CONTEXT Context, WDFKEY Key)
{
    for (const ConfigurationValue& value : CONFIGURATION_VALUES) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value.Name);
        ULONG data = 0;
        if (WdfRegistryQueryULong(Key, &name, &data) == STATUS_SUCCESS) {
            StoreValue(Context, value, data);
        }
    }
}

void ChooseControlOperations(PZELVIK_DEVICE_CONTEXT Context)
{
    // 1. Vendor encoding wins when both encodings are configured.
    // 2. CDC encoding: nothing at attach, line state on at open, off at close.
    // 3. Otherwise no control request is ever sent.
    if (Context->VeltrixVendorRequest) {
        Context->SendAttachControl = SendVendorAttachRequest;
        Context->SendOpenControl = SendVendorOpenRequest;
        Context->SendCloseControl = SendVendorCloseRequest;
    } else if (Context->CdcControlLineState) {
        Context->SendAttachControl = SendNoAttachRequest;
        Context->SendOpenControl = SendCdcLineStateOn;
        Context->SendCloseControl = SendCdcLineStateOff;
    } else {
        Context->SendAttachControl = NULL;
        Context->SendOpenControl = NULL;
        Context->SendCloseControl = NULL;
    }
}

}  // namespace

void ReadDeviceConfiguration(PZELVIK_DEVICE_CONTEXT Context)
{
    // Defaults that are not zero; the other booleans stay FALSE from the zero fill.
    Context->VendorRequestTimeoutValue = 5;
    Context->RxFifoSizeBytes = 128 * 1024;
    Context->UsbBulkCount = 6;
    Context->UsbBulkInLength = BULK_IN_TRANSFER_LENGTH;
    Context->UsbEnableZLP = TRUE;

    // An unreadable key is not an error: the defaults stand.
    WDFKEY key = NULL;
    NTSTATUS status = WdfDeviceOpenRegistryKey(Context->Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        QueryConfigurationValues(Context, key);
        WdfRegistryClose(key);
    }

    if (Context->UsbBulkCount > MAX_BULK_IN_REQUESTS) {
        Context->UsbBulkCount = MAX_BULK_IN_REQUESTS;
    }

    ChooseControlOperations(Context);
}
