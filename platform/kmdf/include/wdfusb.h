// The framework's USB I/O targets: the USB device target, its interfaces and their pipes.
//
// A WDFUSBDEVICE is the I/O target of the device's default control pipe; a WDFUSBPIPE is the I/O target
// of one endpoint, and either handle may be passed wherever a WDFIOTARGET is expected (start, stop,
// WdfRequestSend). Bulk and interrupt transfers sent on a pipe complete later, through the completion
// routine at DISPATCH_LEVEL with WDF_REQUEST_COMPLETION_PARAMS whose Parameters.Usb.Completion points
// at the WDF_USB_REQUEST_COMPLETION_PARAMS of the transfer. The synchronous calls run at PASSIVE_LEVEL
// and drive the layer's scheduler while they wait.
//
// Each call that returns a status can be made to fail through the host's fault injection under its
// own name (kmdf_host::InjectFault("WdfUsbTargetDeviceSelectConfig", status), ...).
#pragma once

#include <usb.h>
#include <wdf.h>

// ---------------------------------------------------------------------------------------------------
// Pipes and their information.

typedef enum _WDF_USB_PIPE_TYPE {
  WdfUsbPipeTypeInvalid = 0,
  WdfUsbPipeTypeControl,
  WdfUsbPipeTypeIsochronous,
  WdfUsbPipeTypeBulk,
  WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
  ULONG Size;
  ULONG MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  UCHAR SettingIndex;
  WDF_USB_PIPE_TYPE PipeType;
  ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

FORCEINLINE void WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
  RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
  Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

FORCEINLINE BOOLEAN WDF_USB_PIPE_DIRECTION_IN(UCHAR EndpointAddress) {
  return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? TRUE : FALSE;
}

FORCEINLINE BOOLEAN WDF_USB_PIPE_DIRECTION_OUT(UCHAR EndpointAddress) {
  return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? FALSE : TRUE;
}

// ---------------------------------------------------------------------------------------------------
// Device information.

#define USBD_DEVICE_INFORMATION_FLAG_HIGH_SPEED 0x00000001
#define WDF_USB_DEVICE_TRAIT_SELF_POWERED 0x00000001
#define WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE 0x00000002
#define WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED 0x00000004

typedef struct _USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;
  ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef struct _WDF_USB_DEVICE_INFORMATION {
  ULONG Size;
  USBD_VERSION_INFORMATION UsbdVersionInformation;
  ULONG HcdPortCapabilities;
  ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

FORCEINLINE void WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Info) {
  RtlZeroMemory(Info, sizeof(WDF_USB_DEVICE_INFORMATION));
  Info->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

// ---------------------------------------------------------------------------------------------------
// Configuration selection.

typedef enum _WdfUsbTargetDeviceSelectConfigType {
  WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
  WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
  WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
  WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
  WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
  WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
  WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
  WDFUSBINTERFACE UsbInterface;
  UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
  ULONG Size;
  WdfUsbTargetDeviceSelectConfigType Type;
  union {
    struct {
      PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
      PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
      ULONG NumInterfaceDescriptors;
    } Descriptor;
    struct {
      PVOID Urb;
    } Urb;
    struct {
      UCHAR NumberConfiguredPipes;
      WDFUSBINTERFACE ConfiguredUsbInterface;
    } SingleInterface;
    struct {
      UCHAR NumberInterfaces;
      PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
      UCHAR NumberOfConfiguredInterfaces;
    } MultiInterface;
  } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

FORCEINLINE void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
  RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
  Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
  Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

FORCEINLINE void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces, PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs) {
  RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
  Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
  if (SettingPairs != NULL && NumberInterfaces != 0) {
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
    Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
    Params->Types.MultiInterface.Pairs = SettingPairs;
  } else {
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
  }
}

FORCEINLINE void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
  RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
  Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
  Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

// ---------------------------------------------------------------------------------------------------
// Control transfers.

typedef enum _WDF_USB_BMREQUEST_DIRECTION {
  BmRequestHostToDevice = BMREQUEST_HOST_TO_DEVICE,
  BmRequestDeviceToHost = BMREQUEST_DEVICE_TO_HOST,
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE {
  BmRequestStandard = BMREQUEST_STANDARD,
  BmRequestClass = BMREQUEST_CLASS,
  BmRequestVendor = BMREQUEST_VENDOR,
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
  BmRequestToDevice = BMREQUEST_TO_DEVICE,
  BmRequestToInterface = BMREQUEST_TO_INTERFACE,
  BmRequestToEndpoint = BMREQUEST_TO_ENDPOINT,
  BmRequestToOther = BMREQUEST_TO_OTHER,
} WDF_USB_BMREQUEST_RECIPIENT;

typedef enum _WDF_USB_DEVICE_FEATURE {
  WdfUsbEndpointHalt = 0,
  WdfUsbDeviceRemoteWakeup = 1,
  WdfUsbTestMode = 2,
} WDF_USB_DEVICE_FEATURE;

// The 8-byte setup packet; on this little-endian host the Generic bytes are the wire bytes.
typedef union _WDF_USB_CONTROL_SETUP_PACKET {
  struct {
    union {
      struct {
        BYTE Recipient : 2;
        BYTE Reserved : 3;
        BYTE Type : 2;
        BYTE Dir : 1;
      } Request;
      BYTE Byte;
    } bm;
    BYTE bRequest;
    union {
      struct {
        BYTE LowByte;
        BYTE HiByte;
      } Bytes;
      USHORT Value;
    } wValue;
    union {
      struct {
        BYTE LowByte;
        BYTE HiByte;
      } Bytes;
      USHORT Value;
    } wIndex;
    USHORT wLength;
  } Packet;
  struct {
    BYTE Bytes[8];
  } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;

static_assert(sizeof(WDF_USB_CONTROL_SETUP_PACKET) == 8, "setup packet is 8 bytes");

// Shared by the three INIT functions below: they differ only in the request type.
FORCEINLINE void WdfUsbControlSetupPacketFill(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                              WDF_USB_BMREQUEST_DIRECTION Direction, WDF_USB_BMREQUEST_TYPE Type,
                                              WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request, USHORT Value,
                                              USHORT Index) {
  RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  Packet->Packet.bm.Request.Dir = static_cast<BYTE>(Direction);
  Packet->Packet.bm.Request.Type = static_cast<BYTE>(Type);
  Packet->Packet.bm.Request.Recipient = static_cast<BYTE>(Recipient);
  Packet->Packet.bRequest = Request;
  Packet->Packet.wValue.Value = Value;
  Packet->Packet.wIndex.Value = Index;
}

FORCEINLINE void WDF_USB_CONTROL_SETUP_PACKET_INIT(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                   WDF_USB_BMREQUEST_DIRECTION Direction,
                                                   WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request, USHORT Value,
                                                   USHORT Index) {
  WdfUsbControlSetupPacketFill(Packet, Direction, BmRequestStandard, Recipient, Request, Value, Index);
}

FORCEINLINE void WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                         WDF_USB_BMREQUEST_DIRECTION Direction,
                                                         WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                                         USHORT Value, USHORT Index) {
  WdfUsbControlSetupPacketFill(Packet, Direction, BmRequestClass, Recipient, Request, Value, Index);
}

FORCEINLINE void WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                          WDF_USB_BMREQUEST_DIRECTION Direction,
                                                          WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                                          USHORT Value, USHORT Index) {
  WdfUsbControlSetupPacketFill(Packet, Direction, BmRequestVendor, Recipient, Request, Value, Index);
}

FORCEINLINE void WDF_USB_CONTROL_SETUP_PACKET_INIT_FEATURE(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                           WDF_USB_BMREQUEST_RECIPIENT BmRequestRecipient,
                                                           USHORT FeatureSelector, USHORT Index, BOOLEAN SetFeature) {
  RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  Packet->Packet.bm.Request.Dir = static_cast<BYTE>(BmRequestHostToDevice);
  Packet->Packet.bm.Request.Type = static_cast<BYTE>(BmRequestStandard);
  Packet->Packet.bm.Request.Recipient = static_cast<BYTE>(BmRequestRecipient);
  Packet->Packet.bRequest = SetFeature ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE;
  Packet->Packet.wValue.Value = FeatureSelector;
  Packet->Packet.wIndex.Value = Index;
}

FORCEINLINE void WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                              WDF_USB_BMREQUEST_RECIPIENT BmRequestRecipient,
                                                              USHORT Index) {
  RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  Packet->Packet.bm.Request.Dir = static_cast<BYTE>(BmRequestDeviceToHost);
  Packet->Packet.bm.Request.Type = static_cast<BYTE>(BmRequestStandard);
  Packet->Packet.bm.Request.Recipient = static_cast<BYTE>(BmRequestRecipient);
  Packet->Packet.bRequest = USB_REQUEST_GET_STATUS;
  Packet->Packet.wIndex.Value = Index;
  Packet->Packet.wLength = sizeof(USHORT);
}

// ---------------------------------------------------------------------------------------------------
// Completion parameters of USB requests (WDF_REQUEST_COMPLETION_PARAMS.Parameters.Usb.Completion).

typedef enum _WDF_USB_REQUEST_TYPE {
  WdfUsbRequestTypeInvalid = 0,
  WdfUsbRequestTypeNoFormat,
  WdfUsbRequestTypeDeviceString,
  WdfUsbRequestTypeDeviceControlTransfer,
  WdfUsbRequestTypeDeviceUrb,
  WdfUsbRequestTypePipeWrite,
  WdfUsbRequestTypePipeRead,
  WdfUsbRequestTypePipeAbort,
  WdfUsbRequestTypePipeReset,
  WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE;

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
  USBD_STATUS UsbdStatus;
  WDF_USB_REQUEST_TYPE Type;
  union {
    struct {
      WDFMEMORY Buffer;
      USHORT LangID;
      UCHAR StringIndex;
      UCHAR RequiredSize;
    } DeviceString;
    struct {
      WDFMEMORY Buffer;
      WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
      ULONG Length;
    } DeviceControlTransfer;
    struct {
      WDFMEMORY Buffer;
    } DeviceUrb;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } PipeWrite;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } PipeRead;
    struct {
      WDFMEMORY Buffer;
    } PipeUrb;
  } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS, *PWDF_USB_REQUEST_COMPLETION_PARAMS;

// ---------------------------------------------------------------------------------------------------
// Continuous reader.

typedef VOID EVT_WDF_USB_READER_COMPLETION_ROUTINE(WDFUSBPIPE Pipe, WDFMEMORY Buffer, size_t NumBytesTransferred,
                                                   WDFCONTEXT Context);
typedef EVT_WDF_USB_READER_COMPLETION_ROUTINE* PFN_WDF_USB_READER_COMPLETION_ROUTINE;

typedef BOOLEAN EVT_WDF_USB_READERS_FAILED(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus);
typedef EVT_WDF_USB_READERS_FAILED* PFN_WDF_USB_READERS_FAILED;

typedef struct _WDF_USB_CONTINUOUS_READER_CONFIG {
  ULONG Size;
  size_t TransferLength;
  size_t HeaderLength;
  size_t TrailerLength;
  UCHAR NumPendingReads;
  PWDF_OBJECT_ATTRIBUTES BufferAttributes;
  PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
  WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
  PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
} WDF_USB_CONTINUOUS_READER_CONFIG, *PWDF_USB_CONTINUOUS_READER_CONFIG;

FORCEINLINE void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
    PWDF_USB_CONTINUOUS_READER_CONFIG Config, PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext, size_t TransferLength) {
  RtlZeroMemory(Config, sizeof(WDF_USB_CONTINUOUS_READER_CONFIG));
  Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
  Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
  Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
  Config->TransferLength = TransferLength;
}

// Number of reads kept outstanding when NumPendingReads is 0.
#define WDF_USB_CONTINUOUS_READER_DEFAULT_PENDING_READS 2
// Most reads a continuous reader may keep outstanding.
#define WDF_USB_CONTINUOUS_READER_MAX_PENDING_READS 10

// ---------------------------------------------------------------------------------------------------
// USB device target.

// Creates the USB target of the device's USB device (the device must have been added with a USB
// device model). Parent: the device. PASSIVE_LEVEL.
NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice);

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);

// Copies the whole configuration descriptor. With no buffer, or *ConfigDescriptorLength smaller than
// the descriptor, returns STATUS_BUFFER_TOO_SMALL and sets *ConfigDescriptorLength to the size needed.
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength);

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information);

// Selects the device's configuration. Supported types: SingleInterface (the configuration must have
// exactly one interface: STATUS_INVALID_PARAMETER otherwise), MultiInterface (every interface in its
// first setting), InterfacesPairs (settings by pair) and Deconfig; others give STATUS_NOT_SUPPORTED.
// Creates the pipe objects of the configured settings; a new selection deletes and replaces them.
NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);
WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);

// Sends a control transfer and waits for its end (PASSIVE_LEVEL). Request may be NULL. With the
// WDF_REQUEST_SEND_OPTION_TIMEOUT option, a transfer still unanswered when the time-out passes is
// cancelled and the call returns STATUS_IO_TIMEOUT. MemoryDescriptor may be NULL (no data stage); the
// data stage length is the descriptor's length. *BytesTransferred, when given, gets the bytes moved.
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred);

// STATUS_SUCCESS while the device is attached, STATUS_DEVICE_NOT_CONNECTED once it has gone (PASSIVE_LEVEL).
NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice);
// Resets the device's port: every halted endpoint is cleared (PASSIVE_LEVEL).
NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(WDFUSBDEVICE UsbDevice);

// Formats a request for an asynchronous control transfer on the device target. TransferMemory may be
// NULL (no data stage).
NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                           WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset);

// ---------------------------------------------------------------------------------------------------
// USB interfaces.

BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex);
BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface);
void WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor);
void WdfUsbInterfaceGetEndpointInformation(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex, UCHAR EndpointIndex,
                                           PWDF_USB_PIPE_INFORMATION EndpointInfo);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
// The pipe at PipeIndex of the configured setting, or NULL when there is none; PipeInfo (optional,
// Size set by WDF_USB_PIPE_INFORMATION_INIT) receives its information.
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo);

// ---------------------------------------------------------------------------------------------------
// USB pipes.

void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe);
WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe);
void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe);
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);

// Format a request for a read from an IN pipe / a write to an OUT pipe. The memory object's buffer
// (from the offset's BufferOffset, for BufferLength bytes when the offset gives one) is the transfer
// buffer. A write with no memory is a zero-length transfer; a read needs memory.
NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset);
NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset);

// Synchronous transfers (PASSIVE_LEVEL).
NTSTATUS WdfUsbTargetPipeReadSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesRead);
NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten);
// Cancels every transfer pending on the pipe and waits for their completion.
NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions);
// Clears a halted (stalled) endpoint.
NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions);

// Configures the pipe's continuous reader (an IN bulk or interrupt pipe; once per pipe). The reader
// runs while the pipe's I/O target is started: it keeps NumPendingReads reads of TransferLength bytes
// outstanding and calls EvtUsbTargetPipeReadComplete (DISPATCH_LEVEL) for each that succeeds, with
// the data at HeaderLength in Buffer. When a read fails, the others are cancelled and
// EvtUsbTargetPipeReadersFailed runs at PASSIVE_LEVEL; TRUE resets the pipe and restarts the reader,
// FALSE leaves it idle until the target is stopped and started again.
NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config);

// A pipe or a USB device handle is its own I/O target: these forward to the WDFIOTARGET calls with
// the target of the pipe (or device), so `WdfRequestSend(request, pipe, options)` reads as it does
// in framework drivers.
inline BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFUSBPIPE Pipe, PWDF_REQUEST_SEND_OPTIONS Options) {
  return WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(Pipe), Options);
}
inline NTSTATUS WdfIoTargetStart(WDFUSBPIPE Pipe) { return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(Pipe)); }
inline void WdfIoTargetStop(WDFUSBPIPE Pipe, WDF_IO_TARGET_SENT_IO_ACTION Action) {
  WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Pipe), Action);
}
inline WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFUSBPIPE Pipe) {
  return WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(Pipe));
}
inline WDFDEVICE WdfIoTargetGetDevice(WDFUSBPIPE Pipe) {
  return WdfIoTargetGetDevice(WdfUsbTargetPipeGetIoTarget(Pipe));
}
inline BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFUSBDEVICE UsbDevice, PWDF_REQUEST_SEND_OPTIONS Options) {
  return WdfRequestSend(Request, WdfUsbTargetDeviceGetIoTarget(UsbDevice), Options);
}
inline NTSTATUS WdfIoTargetStart(WDFUSBDEVICE UsbDevice) {
  return WdfIoTargetStart(WdfUsbTargetDeviceGetIoTarget(UsbDevice));
}
inline void WdfIoTargetStop(WDFUSBDEVICE UsbDevice, WDF_IO_TARGET_SENT_IO_ACTION Action) {
  WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(UsbDevice), Action);
}
