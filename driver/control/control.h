// Operations and framework callbacks of serial control: control-code dispatch, the line-state
// control requests sent to the device, and serial events.
#pragma once

#include "../datapath/device_context.h"

// Control-code dispatch (ioctl.cpp). Runs under the device lock at DISPATCH_LEVEL.
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;

// Serial events (events.cpp). Runs under the device lock.
EVT_WDF_DPC EvtEventDpc;

// Line-state control requests (line_state.cpp). The configuration picks one set of these for the
// SendAttachControl / SendOpenControl / SendCloseControl slots. Each sends one synchronous control
// transfer, so callers run at PASSIVE_LEVEL without the device lock.
ZELVIK_CONTROL_OPERATION SendVendorAttachRequest;
ZELVIK_CONTROL_OPERATION SendVendorOpenRequest;
ZELVIK_CONTROL_OPERATION SendVendorCloseRequest;
ZELVIK_CONTROL_OPERATION SendNoAttachRequest;
ZELVIK_CONTROL_OPERATION SendCdcLineStateOn;
ZELVIK_CONTROL_OPERATION SendCdcLineStateOff;

// Runs one of the three slots: an empty slot sends nothing and succeeds.
[[nodiscard]] NTSTATUS RunControlOperation(PZELVIK_CONTROL_OPERATION Operation, PZELVIK_DEVICE_CONTEXT Context);
