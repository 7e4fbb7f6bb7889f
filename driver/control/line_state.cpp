// The line-state control requests: one USB class request (bRequest 0x22, SET_CONTROL_LINE_STATE) sent
// at hardware preparation, open, close and power transitions, in the vendor or the CDC encoding.
//
// Each request is one synchronous control transfer that waits up to VendorRequestTimeoutValue seconds,
// so every caller runs at PASSIVE_LEVEL without the device lock (prepare hardware, D0 entry/exit,
// file create/close).
#include "control.h"

namespace {

constexpr UCHAR SET_CONTROL_LINE_STATE = 0x22;
constexpr USHORT LINE_STATE_DTR = 0x0001;

[[nodiscard]] NTSTATUS SendClassControlRequest(PZELVIK_DEVICE_CONTEXT Context, UCHAR Request, USHORT Value,
                                               USHORT Index)
{
    // Host to device, class, recipient interface (bmRequestType 0x21); no data stage.
    WDF_USB_CONTROL_SETUP_PACKET setupPacket;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setupPacket, BmRequestHostToDevice, BmRequestToInterface, Request,
                                            Value, Index);

    // The time-out counts seconds; the relative 100-ns value is formed in 64 bits. 0 means no limit.
    WDF_REQUEST_SEND_OPTIONS options;
    PWDF_REQUEST_SEND_OPTIONS sendOptions = NULL;
    if (Context->VendorRequestTimeoutValue != 0) {
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
        options.Timeout = (LONGLONG)Context->VendorRequestTimeoutValue * -10000000LL;
        sendOptions = &options;
    }

    return WdfUsbTargetDeviceSendControlTransferSynchronously(Context->UsbDevice, WDF_NO_HANDLE, sendOptions,
                                                              &setupPacket, NULL, NULL);
}

UCHAR PipeEndpointAddress(WDFUSBPIPE Pipe)
{
    WDF_USB_PIPE_INFORMATION information;
    WDF_USB_PIPE_INFORMATION_INIT(&information);
    WdfUsbTargetPipeGetInformation(Pipe, &information);
    return information.EndpointAddress;
}

}  // namespace

NTSTATUS RunControlOperation(PZELVIK_CONTROL_OPERATION Operation, PZELVIK_DEVICE_CONTEXT Context)
{
    return Operation == NULL ? STATUS_SUCCESS : Operation(Context);
}

// Vendor encoding: the endpoint addresses travel in the high byte of wValue; bit 0 (DTR) is set only
// when the port opens.
NTSTATUS SendVendorAttachRequest(PZELVIK_DEVICE_CONTEXT Context)
{
    return SendClassControlRequest(Context, SET_CONTROL_LINE_STATE, 0x0000, 0);
}

NTSTATUS SendVendorOpenRequest(PZELVIK_DEVICE_CONTEXT Context)
{
    USHORT value = (USHORT)((PipeEndpointAddress(Context->BulkOutPipe) << 8) | LINE_STATE_DTR);
    return SendClassControlRequest(Context, SET_CONTROL_LINE_STATE, value, 0);
}

NTSTATUS SendVendorCloseRequest(PZELVIK_DEVICE_CONTEXT Context)
{
    USHORT value = (USHORT)((PipeEndpointAddress(Context->BulkInPipe) & 0x7F) << 8);
    return SendClassControlRequest(Context, SET_CONTROL_LINE_STATE, value, 0);
}

// CDC encoding: nothing at attach; DTR on at open and off at close, addressed to the interface.
NTSTATUS SendNoAttachRequest(PZELVIK_DEVICE_CONTEXT Context)
{
    UNREFERENCED_PARAMETER(Context);
    return STATUS_SUCCESS;
}

NTSTATUS SendCdcLineStateOn(PZELVIK_DEVICE_CONTEXT Context)
{
    return SendClassControlRequest(Context, SET_CONTROL_LINE_STATE, LINE_STATE_DTR, Context->InterfaceNumber);
}

NTSTATUS SendCdcLineStateOff(PZELVIK_DEVICE_CONTEXT Context)
{
    return SendClassControlRequest(Context, SET_CONTROL_LINE_STATE, 0x0000, Context->InterfaceNumber);
}
