// Operations and framework callbacks of the serial data path: configuration, reception, reads,
// writes and request cancellation. Each callback says in its file under which lock and at which
// level the framework runs it.
#pragma once

#include "device_context.h"

// Configuration (configuration.cpp). Device add, PASSIVE_LEVEL.
void ReadDeviceConfiguration(PZELVIK_DEVICE_CONTEXT Context);

// Bulk-in reception (reception.cpp).
inline constexpr ULONG BULK_IN_TRANSFER_LENGTH = 4096;
[[nodiscard]] NTSTATUS BuildBulkInPool(PZELVIK_DEVICE_CONTEXT Context);

// Reads (read.cpp). Run under the device lock.
EVT_WDF_IO_QUEUE_IO_READ EvtIoRead;
EVT_WDF_DPC EvtReadDpc;
EVT_WDF_TIMER EvtPortTimer;

// Writes (write.cpp). Run under the device lock.
EVT_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
EVT_WDF_DPC EvtWriteDpc;

// Cancellation marks and queue stop/resume (cancel.cpp). Run under the device lock.
[[nodiscard]] NTSTATUS MarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL CancelRoutine);
[[nodiscard]] NTSTATUS UnmarkCancelable(WDFREQUEST Request);
EVT_WDF_IO_QUEUE_IO_STOP EvtIoStop;
EVT_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
