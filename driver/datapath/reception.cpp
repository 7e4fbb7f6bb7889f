// Bulk-in reception: the pool of driver-created bulk-in requests and the zero-length-packet request.
//
// The pool is built once at device add (PASSIVE_LEVEL, before the device's queues deliver anything).
// Every request and buffer has the device as parent and goes with it; only a failed build step
// deletes what it had just created.
#include "datapath.h"

namespace {

void InitBulkRequestAttributes(PWDF_OBJECT_ATTRIBUTES Attributes, WDFDEVICE Device)
{
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(Attributes, ZELVIK_BULK_REQUEST_CONTEXT);
    Attributes->ParentObject = Device;
}

void InitBufferAttributes(PWDF_OBJECT_ATTRIBUTES Attributes, WDFDEVICE Device)
{
    WDF_OBJECT_ATTRIBUTES_INIT(Attributes);
    Attributes->ParentObject = Device;
}

// Creates a request with its own buffer of Length bytes. On failure nothing is left behind.
[[nodiscard]] NTSTATUS CreateBulkRequest(PZELVIK_DEVICE_CONTEXT Context, size_t Length, WDFREQUEST* Request)
{
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    InitBulkRequestAttributes(&requestAttributes, Context->Device);
    WDFREQUEST request = NULL;
    NTSTATUS status = WdfRequestCreate(&requestAttributes, NULL, &request);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PZELVIK_BULK_REQUEST_CONTEXT bulk = GetBulkRequestContext(request);
    bulk->Device = Context->Device;

    WDF_OBJECT_ATTRIBUTES bufferAttributes;
    InitBufferAttributes(&bufferAttributes, Context->Device);
    status = WdfMemoryCreate(&bufferAttributes, NonPagedPool, ZELVIK_POOL_TAG, Length, &bulk->Buffer, NULL);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(request);
        return status;
    }
    *Request = request;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS BuildBulkInPool(PZELVIK_DEVICE_CONTEXT Context)
{
    // The zero-length-packet request carries a 1-byte buffer it never fills: the write path sends it
    // with a transfer length of 0.
    NTSTATUS status = CreateBulkRequest(Context, 1, &Context->ZlpRequest);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &Context->BulkInRequests);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // A partly built pool stays and is used: the first failure stops the loop, and the device add
    // fails only when not a single request could be added.
    NTSTATUS firstFailure = STATUS_SUCCESS;
    ULONG added = 0;
    for (ULONG i = 0; i < Context->UsbBulkCount; i++) {
        WDFREQUEST request = NULL;
        status = CreateBulkRequest(Context, BULK_IN_TRANSFER_LENGTH, &request);
        if (NT_SUCCESS(status)) {
            status = WdfCollectionAdd(Context->BulkInRequests, request);
            if (!NT_SUCCESS(status)) {
                WdfObjectDelete(GetBulkRequestContext(request)->Buffer);
                WdfObjectDelete(request);
            }
        }
        if (!NT_SUCCESS(status)) {
            firstFailure = status;
            break;
        }
        added++;
    }

    if (added > 0 || Context->UsbBulkCount == 0) {
        return STATUS_SUCCESS;
    }
    return firstFailure;
}
