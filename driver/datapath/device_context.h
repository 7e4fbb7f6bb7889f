// The per-device record every part of the driver works on, and the contexts of the requests the
// driver handles. The framework allocates ZELVIK_DEVICE_CONTEXT with the device object and frees it
// with the device; InitDeviceContext zero-fills it before anything else.
//
// Guard legend used in the field comments:
//   "add"        set during device add (or hardware preparation), read-only afterwards
//   "lock"       changed only under the device's framework lock (queue callbacks, the three DPCs,
//                the port timer and cancel routines hold it; other code takes WdfObjectAcquireLock)
//   "interlocked" a LONG changed only by interlocked exchange/increment/decrement, because code
//                outside the lock (file create/close, PnP/power callbacks, USB completions) shares it
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>
#include <usb.h>
#include <wdfusb.h>
#include <ntddser.h>

#include "rx_fifo.h"

struct _ZELVIK_DEVICE_CONTEXT;

// One of the three control-request operations chosen by the configuration (line-state requests
// sent at attach, open and close). NULL means "send nothing, succeed".
typedef NTSTATUS ZELVIK_CONTROL_OPERATION(struct _ZELVIK_DEVICE_CONTEXT* Context);
typedef ZELVIK_CONTROL_OPERATION* PZELVIK_CONTROL_OPERATION;

typedef struct _ZELVIK_DEVICE_CONTEXT {
    WDFDEVICE Device;                       // add: the device that owns this context
    WDFTIMER PortTimer;                     // add: 100 ms port timer, started at open, stopped at close
    WDFQUEUE ReadQueue;                     // add: manual queue of reads waiting to be served
    WDFQUEUE WriteQueue;                    // add: manual queue of writes waiting to be sent
    WDFQUEUE WaitMaskQueue;                 // add: manual queue holding the parked wait-on-mask
    ULONG EventHistory;                     // lock: SERIAL_EV_* raised and not yet reported
    WDFDPC ReadDpc;                         // add: read servicing
    WDFDPC WriteDpc;                        // add: write servicing
    WDFDPC EventDpc;                        // add: wait-on-mask completion
    UNICODE_STRING DeviceName;              // add: device name; its buffer names the SERIALCOMM value
    WDFUSBDEVICE UsbDevice;                 // add (prepare hardware): the device as a USB target
    WDFUSBINTERFACE UsbInterface;           // add (prepare hardware): the configured interface
    UCHAR InterfaceNumber;                  // add (prepare hardware): its bInterfaceNumber
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;  // add (prepare hardware): copy of the whole descriptor
    UCHAR NumberConfiguredPipes;            // add (prepare hardware): pipes of the configured interface
    WDFUSBPIPE BulkOutPipe;                 // add (prepare hardware): bulk-out pipe
    WDFUSBPIPE BulkInPipe;                  // add (prepare hardware): bulk-in pipe, also its I/O target
    USB_DEVICE_DESCRIPTOR DeviceDescriptor; // add (prepare hardware): for the vendor check
    ULONG BulkOutMaxPacketSize;             // add (prepare hardware): decides zero-length packets
    WDFREQUEST ZlpRequest;                  // add; used by the write path only while WriteBusy is 1
    WDFCOLLECTION BulkInRequests;           // add: pooled bulk-in requests, in creation order
    LONG PendingBulkInReads;                // interlocked: pooled requests sent and not yet parked
    KEVENT BulkInIdleEvent;                 // signalled exactly while PendingBulkInReads is 0
    BOOLEAN SymbolicLinkCreated;            // add: the DOS name exists; nothing reads it
    BOOLEAN SerialCommWritten;              // add: the SERIALCOMM value exists; read at clean-up
    BOOLEAN SerialCountAdded;               // add: SerialCount was raised for this device; read at clean-up
    LONG PortOpen;                          // interlocked: 1 from a successful file create to file close
    LONG ReadsStarted;                      // interlocked: 1 while bulk-in reception is started
    LONG WriteBusy;                         // interlocked: 1 while the write DPC or a transfer is busy
    WDFREQUEST CurrentReadRequest;          // lock: the read being filled
    PUCHAR ReadCursor;                      // lock: where the next byte goes in that read's buffer
    ULONG ReadLength;                       // lock: length of that buffer
    ULONG ReadCount;                        // lock: bytes copied into it so far
    LARGE_INTEGER ReadIntervalDeadline;     // lock: interval time-out, system time; MAXLONGLONG = none
    LARGE_INTEGER ReadTotalDeadline;        // lock: total time-out, system time; MAXLONGLONG = none
    WDFREQUEST CurrentWriteRequest;         // lock: the write whose data is in flight; nothing reads it
    RX_FIFO RxFifo;                         // lock while reception runs (reset at open before it starts)
    ULONG RxFifoLength;                     // add: size of the FIFO storage in bytes
    WDFMEMORY RxFifoMemory;                 // add: owns the FIFO storage
    LONG RxPaused;                          // interlocked: a pooled bulk-in request was parked since the last resume
    ULONG BaudRate;                         // lock: reported to applications; reset at open
    SERIAL_CHARS SerialChars;               // lock: special characters; only EventChar acts
    SERIAL_STATUS CommStatus;               // lock: AmountInInQueue / AmountInOutQueue kept by hand
    SERIAL_HANDFLOW HandFlow;               // lock: stored only
    SERIAL_LINE_CONTROL LineControl;        // lock: stored only
    ULONG ModemStatus;                      // lock: SERIAL_MSR_* image; 0x30 at open
    SERIALPERF_STATS PerfStats;             // lock: byte and error counters; survive opens
    SERIAL_TIMEOUTS Timeouts;               // lock: the port's time-outs
    ULONG WaitMask;                         // lock: SERIAL_EV_* the application waits for
    BOOLEAN CarrierDetected;                // lock: "CONNECT" seen in received data
    BOOLEAN CarrierChangePending;           // lock: the DCD bit must be refreshed
    ULONG VendorRequestTimeoutValue;        // add: control-transfer time-out, seconds; 0 = none
    ULONG RxFifoSizeBytes;                  // add: configured FIFO size in bytes
    BOOLEAN VeltrixVendorRequest;           // add: vendor-encoded control requests
    BOOLEAN CdcControlLineState;            // add: CDC line-state control requests
    BOOLEAN UseContinuousRead;              // add: framework continuous reader instead of the pool
    BOOLEAN UsbEnableZLP;                   // add: end packet-multiple writes with a zero-length packet
    ULONG UsbBulkCount;                     // add: number of pooled bulk-in requests
    ULONG UsbBulkInLength;                  // add: kept; every bulk-in transfer is 4096 bytes
    PZELVIK_CONTROL_OPERATION SendAttachControl;  // add: run once per hardware preparation
    PZELVIK_CONTROL_OPERATION SendOpenControl;    // add: run at open and at D0 entry while open
    PZELVIK_CONTROL_OPERATION SendCloseControl;   // add: run at close and at D0 exit while open
} ZELVIK_DEVICE_CONTEXT, *PZELVIK_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ZELVIK_DEVICE_CONTEXT, GetDeviceContext)

// Bit of ZELVIK_REQUEST_CONTEXT::Flags: the request was given a cancel routine by MarkCancelable.
#define REQUEST_MARKED_CANCELABLE 0x00000001

// Carried by every request the device's queues deliver (the framework creates it zeroed). All
// fields change under the device lock.
typedef struct _ZELVIK_REQUEST_CONTEXT {
    WDFDEVICE Device;                       // set by whoever holds the request (read DPC, wait-on-mask)
    PFN_WDF_REQUEST_CANCEL CancelRoutine;   // last routine given to MarkCancelable; never cleared by unmark
    ULONG Flags;                            // REQUEST_MARKED_CANCELABLE
} ZELVIK_REQUEST_CONTEXT, *PZELVIK_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ZELVIK_REQUEST_CONTEXT, GetRequestContext)

// Carried by every request the driver creates itself (pooled bulk-in reads, the zero-length-packet request).
typedef struct _ZELVIK_BULK_REQUEST_CONTEXT {
    WDFDEVICE Device;                       // the port's device
    WDFMEMORY Buffer;                       // 4096 bytes for pooled reads, 1 byte for ZlpRequest
    LONG InFlight;                          // interlocked: 1 from being taken for sending until parked
} ZELVIK_BULK_REQUEST_CONTEXT, *PZELVIK_BULK_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ZELVIK_BULK_REQUEST_CONTEXT, GetBulkRequestContext)

// Tag of every allocation the driver makes: the bytes "Zvlk" as a pool dump shows them.
#define ZELVIK_POOL_TAG ((ULONG)0x6B6C765A)
