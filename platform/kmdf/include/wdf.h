// The framework as a driver sees it: objects, contexts, driver and device creation, queues, requests,
// I/O targets, DPCs, timers, memory, collections, strings and registry keys.
//
// Names, signatures, records and initialisation functions are those of the framework's version 1.9.
// Behaviour is that of the framework wherever a driver can observe it: callbacks run at the levels and
// under the locks the framework uses, completions arrive later through the scheduler, and misuse is
// reported to the layer's verifier (which fails the running test).
#pragma once

#include <ntddk.h>

// ---------------------------------------------------------------------------------------------------
// Handles.
#define WDF_DECLARE_HANDLE(name) typedef struct name##__* name
typedef PVOID WDFOBJECT;
typedef WDFOBJECT* PWDFOBJECT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFDPC);
WDF_DECLARE_HANDLE(WDFTIMER);
WDF_DECLARE_HANDLE(WDFWORKITEM);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFCOLLECTION);
WDF_DECLARE_HANDLE(WDFSTRING);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
typedef PVOID WDFCONTEXT;
typedef struct WDFDEVICE_INIT WDFDEVICE_INIT, *PWDFDEVICE_INIT;

#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL
#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_SEND_OPTIONS NULL
#define WDF_NO_EVENT_CALLBACK NULL

typedef enum _WDF_TRI_STATE { WdfFalse = FALSE, WdfTrue = TRUE, WdfUseDefault = 2 } WDF_TRI_STATE, *PWDF_TRI_STATE;

// ---------------------------------------------------------------------------------------------------
// Object attributes and contexts.
typedef enum _WDF_EXECUTION_LEVEL {
  WdfExecutionLevelInvalid = 0x00,
  WdfExecutionLevelInheritFromParent,
  WdfExecutionLevelPassive,
  WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
  WdfSynchronizationScopeInvalid = 0x00,
  WdfSynchronizationScopeInheritFromParent,
  WdfSynchronizationScopeDevice,
  WdfSynchronizationScopeQueue,
  WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef void EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

// Role names for the clean-up and destroy callbacks of particular objects (same shape).
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP EVT_WDF_DEVICE_CONTEXT_CLEANUP;
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY EVT_WDF_DEVICE_CONTEXT_DESTROY;
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP EVT_WDF_IO_QUEUE_CONTEXT_CLEANUP_CALLBACK;
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY EVT_WDF_IO_QUEUE_CONTEXT_DESTROY_CALLBACK;
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP EVT_WDF_FILE_CONTEXT_CLEANUP_CALLBACK;
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY EVT_WDF_FILE_CONTEXT_DESTROY_CALLBACK;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO(__wdf_get_unique_context_type)();
typedef __wdf_get_unique_context_type* PFN_GET_UNIQUE_CONTEXT_TYPE;

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
  ULONG Size;
  PCSTR ContextName;
  size_t ContextSize;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
  PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
  WDF_EXECUTION_LEVEL ExecutionLevel;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
  WDFOBJECT ParentObject;
  size_t ContextSizeOverride;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
  std::memset(Attributes, 0, sizeof(WDF_OBJECT_ATTRIBUTES));
  Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
  Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
  Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_##_contexttype##_POINTER_TYPE
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                 \
  typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                          \
  inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {                  \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                           \
      &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                                     \
  inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                                \
    return (_contexttype*)WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)); \
  }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
  WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
  (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
  WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                 \
  WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

#define WdfObjectGetTypedContext(handle, type) \
  ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)))

// Returns the context of that type on the object, or NULL (reported) when it has none.
PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context);
WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer);
NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
// Deletes the object and its children (children first); clean-up callbacks run, then the memory goes.
// Objects the framework owns (devices, queues delivered by the framework, framework requests) refuse.
void WdfObjectDelete(WDFOBJECT Object);
void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
#define WdfObjectReference(Handle) WdfObjectReferenceActual(Handle, NULL, __LINE__, __FILE__)
#define WdfObjectReferenceWithTag(Handle, Tag) WdfObjectReferenceActual(Handle, Tag, __LINE__, __FILE__)
#define WdfObjectDereference(Handle) WdfObjectDereferenceActual(Handle, NULL, __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(Handle, Tag) WdfObjectDereferenceActual(Handle, Tag, __LINE__, __FILE__)

// Takes the synchronisation lock of a device (or of a queue with queue scope): the lock the framework
// holds around the device's queue callbacks, serialised DPC and timer callbacks and cancel routines.
// Raises to DISPATCH_LEVEL. Taking it again while holding it, or releasing it from another execution
// context than the one that took it, is reported.
void WdfObjectAcquireLock(WDFOBJECT Object);
void WdfObjectReleaseLock(WDFOBJECT Object);
// Layer extension (not a framework call): TRUE when the calling execution context holds the object's
// synchronisation lock. For driver assertions such as ASSERT(KmdfObjectIsLockHeld(device)).
BOOLEAN KmdfObjectIsLockHeld(WDFOBJECT Object);

// ---------------------------------------------------------------------------------------------------
// Driver.
typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef void EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
  WdfDriverInitNonPnpDriver = 0x00000001,
  WdfDriverInitNoDispatchOverride = 0x00000002,
  WdfVerifyOn = 0x00000004,
  WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
  ULONG Size;
  PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
  ULONG DriverInitFlags;
  ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
  std::memset(Config, 0, sizeof(WDF_DRIVER_CONFIG));
  Config->Size = sizeof(WDF_DRIVER_CONFIG);
  Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);
WDFDRIVER WdfGetDriver();
PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver);

// ---------------------------------------------------------------------------------------------------
// Device initialisation and device.
typedef enum _WDF_DEVICE_IO_TYPE {
  WdfDeviceIoUndefined = 0,
  WdfDeviceIoNeither,
  WdfDeviceIoBuffered,
  WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE;

typedef enum _WDF_POWER_DEVICE_STATE {
  WdfPowerDeviceInvalid = 0,
  WdfPowerDeviceD0,
  WdfPowerDeviceD1,
  WdfPowerDeviceD2,
  WdfPowerDeviceD3,
  WdfPowerDeviceD3Final,
  WdfPowerDevicePrepareForHibernation,
  WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE;

typedef enum _WDF_SPECIAL_FILE_TYPE {
  WdfSpecialFileUndefined = 0,
  WdfSpecialFilePaging = 1,
  WdfSpecialFileHibernation,
  WdfSpecialFileDump,
  WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE;

typedef enum _DEVICE_RELATION_TYPE {
  BusRelations,
  EjectionRelations,
  PowerRelations,
  RemovalRelations,
  TargetDeviceRelation,
  SingleBusRelations,
  TransportRelations,
} DEVICE_RELATION_TYPE;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device,
                                                                WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED* PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED* PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef void EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef void EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef void EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef void EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device, WDF_SPECIAL_FILE_TYPE NotificationType,
                                               BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef void EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
  ULONG Size;
  PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
  PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
  PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
  PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
  PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
  PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
  PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
  PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
  PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
  PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
  PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
  PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
  PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
  PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
  PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
  PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
  std::memset(Callbacks, 0, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
  Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef void EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef void EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef void EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef enum _WDF_FILEOBJECT_CLASS {
  WdfFileObjectInvalid = 0,
  WdfFileObjectNotRequired = 1,
  WdfFileObjectWdfCanUseFsContext = 2,
  WdfFileObjectWdfCanUseFsContext2 = 3,
  WdfFileObjectWdfCannotUseFsContexts = 4,
  WdfFileObjectCanBeOptional = (int)0x80000000,
} WDF_FILEOBJECT_CLASS;

typedef struct _WDF_FILEOBJECT_CONFIG {
  ULONG Size;
  PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
  PFN_WDF_FILE_CLOSE EvtFileClose;
  PFN_WDF_FILE_CLEANUP EvtFileCleanup;
  WDF_TRI_STATE AutoForwardCleanupClose;
  WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

inline void WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                       PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate, PFN_WDF_FILE_CLOSE EvtFileClose,
                                       PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
  FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
  FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
  FileEventCallbacks->EvtFileClose = EvtFileClose;
  FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
  FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
  FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
  ULONG Size;
  WDF_TRI_STATE LockSupported;
  WDF_TRI_STATE EjectSupported;
  WDF_TRI_STATE Removable;
  WDF_TRI_STATE DockDevice;
  WDF_TRI_STATE UniqueID;
  WDF_TRI_STATE SilentInstall;
  WDF_TRI_STATE SurpriseRemovalOK;
  WDF_TRI_STATE HardwareDisabled;
  WDF_TRI_STATE NoDisplayInUI;
  ULONG Address;
  ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

inline void WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
  std::memset(Caps, 0, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
  Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
  Caps->LockSupported = WdfUseDefault;
  Caps->EjectSupported = WdfUseDefault;
  Caps->Removable = WdfUseDefault;
  Caps->DockDevice = WdfUseDefault;
  Caps->UniqueID = WdfUseDefault;
  Caps->SilentInstall = WdfUseDefault;
  Caps->SurpriseRemovalOK = WdfUseDefault;
  Caps->HardwareDisabled = WdfUseDefault;
  Caps->NoDisplayInUI = WdfUseDefault;
  Caps->Address = (ULONG)-1;
  Caps->UINumber = (ULONG)-1;
}

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName);
void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType);
void WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics, BOOLEAN OrInValues);
void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes);
void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive);
void WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
void WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit);
void WdfDeviceInitSetPowerNotPageable(PWDFDEVICE_INIT DeviceInit);
// On success *DeviceInit becomes NULL (the framework owns the record from then on).
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);
void WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
// FALSE forbids orderly stop and removal until a matching TRUE; the calls are counted.
void WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable);
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String);
NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName);
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device);

// ---------------------------------------------------------------------------------------------------
// File objects.
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject);

// ---------------------------------------------------------------------------------------------------
// Memory.
typedef struct _WDFMEMORY_OFFSET {
  size_t BufferOffset;
  size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
  WdfMemoryDescriptorTypeInvalid = 0,
  WdfMemoryDescriptorTypeBuffer,
  WdfMemoryDescriptorTypeMdl,
  WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
  WDF_MEMORY_DESCRIPTOR_TYPE Type;
  union {
    struct {
      PVOID Buffer;
      ULONG Length;
    } BufferType;
    struct {
      PMDL Mdl;
      ULONG BufferLength;
    } MdlType;
    struct {
      WDFMEMORY Memory;
      PWDFMEMORY_OFFSET Offsets;
    } HandleType;
  } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer, ULONG BufferLength) {
  std::memset(Descriptor, 0, sizeof(WDF_MEMORY_DESCRIPTOR));
  Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
  Descriptor->u.BufferType.Buffer = Buffer;
  Descriptor->u.BufferType.Length = BufferLength;
}

inline void WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR Descriptor, WDFMEMORY Memory,
                                              PWDFMEMORY_OFFSET Offsets) {
  std::memset(Descriptor, 0, sizeof(WDF_MEMORY_DESCRIPTOR));
  Descriptor->Type = WdfMemoryDescriptorTypeHandle;
  Descriptor->u.HandleType.Memory = Memory;
  Descriptor->u.HandleType.Offsets = Offsets;
}

// Non-paged memory comes from the same bounded pool as ExAllocatePoolWithTag; a size of 0 is refused
// with STATUS_INVALID_PARAMETER and a size the pool cannot give with STATUS_INSUFFICIENT_RESOURCES.
// The buffer starts with a fill pattern (pool memory is not cleared). Default parent: the driver.
NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY* Memory, PVOID* Buffer);
NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                     WDFMEMORY* Memory);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);
NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo);
NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom);

// ---------------------------------------------------------------------------------------------------
// Collections, strings, registry.
NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(WDFCOLLECTION Collection);
NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object);
void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item);
void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index);
// NULL when Index is out of range.
WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection);

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String);
// The string's buffer always ends with a zero unit after Length bytes.
void WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString);

void WdfRegistryClose(WDFKEY Key);
// STATUS_OBJECT_NAME_NOT_FOUND for an absent value, STATUS_OBJECT_TYPE_MISMATCH for a value that is not
// REG_DWORD.
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
// Copies a REG_SZ value (its stored bytes, terminating zero included when stored) into Value's buffer;
// Length excludes a terminating zero. STATUS_BUFFER_OVERFLOW (ValueByteLength set to the stored size)
// when the stored bytes exceed MaximumLength.
NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value);
NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType);
NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value);
NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value);
NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName);

// ---------------------------------------------------------------------------------------------------
// Requests.
typedef enum _WDF_REQUEST_TYPE {
  WdfRequestTypeCreate = 0x0,
  WdfRequestTypeCreateNamedPipe = 0x1,
  WdfRequestTypeClose = 0x2,
  WdfRequestTypeRead = 0x3,
  WdfRequestTypeWrite = 0x4,
  WdfRequestTypeQueryInformation = 0x5,
  WdfRequestTypeSetInformation = 0x6,
  WdfRequestTypeQueryEA = 0x7,
  WdfRequestTypeSetEA = 0x8,
  WdfRequestTypeFlushBuffers = 0x9,
  WdfRequestTypeQueryVolumeInformation = 0xa,
  WdfRequestTypeSetVolumeInformation = 0xb,
  WdfRequestTypeDirectoryControl = 0xc,
  WdfRequestTypeFileSystemControl = 0xd,
  WdfRequestTypeDeviceControl = 0xe,
  WdfRequestTypeDeviceControlInternal = 0xf,
  WdfRequestTypeShutdown = 0x10,
  WdfRequestTypeLockControl = 0x11,
  WdfRequestTypeCleanup = 0x12,
  WdfRequestTypeCreateMailSlot = 0x13,
  WdfRequestTypeQuerySecurity = 0x14,
  WdfRequestTypeSetSecurity = 0x15,
  WdfRequestTypePower = 0x16,
  WdfRequestTypeSystemControl = 0x17,
  WdfRequestTypeDeviceChange = 0x18,
  WdfRequestTypeQueryQuota = 0x19,
  WdfRequestTypeSetQuota = 0x1A,
  WdfRequestTypePnp = 0x1B,
  WdfRequestTypeOther = 0x1C,
  WdfRequestTypeUsb = 0x40,
  WdfRequestTypeNoFormat = 0xFF,
  WdfRequestTypeMax,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
  USHORT Size;
  UCHAR MinorFunction;
  WDF_REQUEST_TYPE Type;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Read;
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Write;
    struct {
      size_t OutputBufferLength;
      size_t InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Arg1;
      PVOID Arg2;
      ULONG IoControlCode;
      PVOID Arg4;
    } Others;
  } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

inline void WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
  std::memset(Parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
  Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

struct _WDF_USB_REQUEST_COMPLETION_PARAMS;  // defined with the USB targets (wdfusb.h)
typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS* PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
  ULONG Size;
  WDF_REQUEST_TYPE Type;
  IO_STATUS_BLOCK IoStatus;
  union {
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } Write;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } Read;
    struct {
      ULONG IoControlCode;
      struct {
        WDFMEMORY Buffer;
        size_t Offset;
      } Input;
      struct {
        WDFMEMORY Buffer;
        size_t Offset;
        size_t Length;
      } Output;
    } Ioctl;
    struct {
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument1;
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument2;
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument3;
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument4;
    } Others;
    struct {
      PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
    } Usb;
  } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

inline void WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS Params) {
  std::memset(Params, 0, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
  Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
  Params->Type = WdfRequestTypeNoFormat;
}

typedef void EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;
typedef void EVT_WDF_REQUEST_CANCEL(WDFREQUEST Request);
typedef EVT_WDF_REQUEST_CANCEL* PFN_WDF_REQUEST_CANCEL;

typedef enum _WDF_REQUEST_REUSE_FLAGS {
  WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
  WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
  ULONG Size;
  ULONG Flags;
  NTSTATUS Status;
  PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

inline void WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags, NTSTATUS Status) {
  std::memset(Params, 0, sizeof(WDF_REQUEST_REUSE_PARAMS));
  Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
  Params->Flags = Flags;
  Params->Status = Status;
}

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
  WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
  WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
  WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
  WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
  ULONG Size;
  ULONG Flags;
  LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

inline void WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
  std::memset(Options, 0, sizeof(WDF_REQUEST_SEND_OPTIONS));
  Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
  Options->Flags = Flags;
}

inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options, LONGLONG Timeout) {
  Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
  Options->Timeout = Timeout;
}

// Time-out helpers (100-ns units; negative is relative).
inline LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) { return (LONGLONG)Time * -1 * 10 * 1000 * 1000; }
inline LONGLONG WDF_ABS_TIMEOUT_IN_SEC(ULONGLONG Time) { return (LONGLONG)Time * 10 * 1000 * 1000; }
inline LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) { return (LONGLONG)Time * -1 * 10 * 1000; }
inline LONGLONG WDF_ABS_TIMEOUT_IN_MS(ULONGLONG Time) { return (LONGLONG)Time * 10 * 1000; }
inline LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) { return (LONGLONG)Time * -1 * 10; }
inline LONGLONG WDF_ABS_TIMEOUT_IN_US(ULONGLONG Time) { return (LONGLONG)Time * 10; }

typedef enum _WDF_REQUEST_STOP_ACTION_FLAGS {
  WdfRequestStopActionInvalid = 0,
  WdfRequestStopActionSuspend = 0x01,
  WdfRequestStopActionPurge = 0x2,
  WdfRequestStopRequestCancelable = 0x10000000,
} WDF_REQUEST_STOP_ACTION_FLAGS;

// A driver-created request; Parent defaults to the driver. IoTarget is accepted and not used.
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request);
// Returns a driver-created request to its initial state with the given status: information 0, no
// completion routine, no formatting. Refused (STATUS_INVALID_DEVICE_REQUEST, reported) while the
// request is sent, and for requests the framework delivered.
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);
// TRUE: the request was sent; its completion routine runs later (never inside this call). FALSE: not
// sent; WdfRequestGetStatus gives the reason (a stopped target: STATUS_INVALID_DEVICE_STATE unless
// WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE). With WDF_REQUEST_SEND_OPTION_TIMEOUT the request is
// cancelled when the time passes and completes with STATUS_IO_TIMEOUT. With _SYNCHRONOUS the call
// waits (PASSIVE_LEVEL only) and returns TRUE only when the request completed with success.
BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);
// Asks the target to cancel a sent request. FALSE when the request is not sent (nothing happens).
BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request);
void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext);
void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params);

// Completes a request the driver owns, exactly once. Completing a request the driver does not own
// (queued, sent to a target, completed already, still marked cancelable) is reported.
void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);
void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request);
KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request);

// Buffers of a request from the I/O manager: a read has an output buffer, a write an input buffer, a
// buffered device control both (sharing one system buffer). A buffer shorter than
// MinimumRequiredLength, or absent, gives STATUS_BUFFER_TOO_SMALL; a buffer the request type does not
// have gives STATUS_INVALID_DEVICE_REQUEST. Length may be NULL.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                        size_t* Length);
NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory);
NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory);

// Moves a request the driver owns into another queue of the same device.
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue);
// STATUS_CANCELLED, without running the routine, when the request was already cancelled.
NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
void WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
// STATUS_CANCELLED when cancellation has begun and the cancel routine will run (it then owns the
// completion); STATUS_INVALID_DEVICE_REQUEST when the request is not marked cancelable.
NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request);
BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request);
// From EvtIoStop: the driver keeps the request (Requeue FALSE) or gives it back to its queue (TRUE).
void WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue);

// ---------------------------------------------------------------------------------------------------
// Queues.
typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
  WdfIoQueueDispatchInvalid = 0,
  WdfIoQueueDispatchSequential,
  WdfIoQueueDispatchParallel,
  WdfIoQueueDispatchManual,
  WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef void EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef void EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef void EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef void EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                                size_t InputBufferLength, ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef void EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                         size_t OutputBufferLength, size_t InputBufferLength,
                                                         ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef void EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef void EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef void EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;
typedef void EVT_WDF_IO_QUEUE_STATE(WDFQUEUE Queue, WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE* PFN_WDF_IO_QUEUE_STATE;

typedef struct _WDF_IO_QUEUE_CONFIG {
  ULONG Size;
  WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
  WDF_TRI_STATE PowerManaged;
  BOOLEAN AllowZeroLengthRequests;
  BOOLEAN DefaultQueue;
  PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
  PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
  PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
  PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
  PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
  PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
  PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
  PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
  union {
    struct {
      ULONG NumberOfPresentedRequests;
    } Parallel;
  } Settings;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

inline void WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
  std::memset(Config, 0, sizeof(WDF_IO_QUEUE_CONFIG));
  Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
  Config->PowerManaged = WdfUseDefault;
  Config->DispatchType = DispatchType;
  if (Config->DispatchType == WdfIoQueueDispatchParallel) {
    Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
  }
}

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
  WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
  Config->DefaultQueue = TRUE;
}

typedef enum _WDF_IO_QUEUE_STATE {
  WdfIoQueueAcceptRequests = 0x01,
  WdfIoQueueDispatchRequests = 0x02,
  WdfIoQueueNoRequests = 0x04,
  WdfIoQueueDriverNoRequests = 0x08,
  WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

// A queue's parent is its device. Power-managed (WdfUseDefault resolves to TRUE) queues stop when the
// device leaves D0 and start when it enters D0.
NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);
// STATUS_NO_MORE_ENTRIES when the queue is empty, STATUS_WDF_PAUSED when it is stopped.
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);
NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE Queue, WDFFILEOBJECT FileObject, WDFREQUEST* OutRequest);
void WdfIoQueueStart(WDFQUEUE Queue);
void WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context);
void WdfIoQueueStopSynchronously(WDFQUEUE Queue);
void WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context);
void WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);
WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests);

// ---------------------------------------------------------------------------------------------------
// I/O targets.
typedef enum _WDF_IO_TARGET_STATE {
  WdfIoTargetStateUndefined = 0,
  WdfIoTargetStarted,
  WdfIoTargetStopped,
  WdfIoTargetClosedForQueryRemove,
  WdfIoTargetClosed,
  WdfIoTargetDeleted,
} WDF_IO_TARGET_STATE;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
  WdfIoTargetSentIoUndefined = 0,
  WdfIoTargetCancelSentIo,
  WdfIoTargetWaitForSentIoToComplete,
  WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
// CancelSentIo cancels what was sent and, like WaitForSentIoToComplete, returns only when every sent
// request has completed (PASSIVE_LEVEL; waiting at DISPATCH_LEVEL is reported).
void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);

// ---------------------------------------------------------------------------------------------------
// DPCs and timers.
typedef void EVT_WDF_DPC(WDFDPC Dpc);
typedef EVT_WDF_DPC* PFN_WDF_DPC;

typedef struct _WDF_DPC_CONFIG {
  ULONG Size;
  PFN_WDF_DPC EvtDpcFunc;
  BOOLEAN AutomaticSerialization;
} WDF_DPC_CONFIG, *PWDF_DPC_CONFIG;

inline void WDF_DPC_CONFIG_INIT(PWDF_DPC_CONFIG Config, PFN_WDF_DPC EvtDpcFunc) {
  std::memset(Config, 0, sizeof(WDF_DPC_CONFIG));
  Config->Size = sizeof(WDF_DPC_CONFIG);
  Config->EvtDpcFunc = EvtDpcFunc;
  Config->AutomaticSerialization = TRUE;
}

// The parent (required, in the attributes) is a device or a queue.
NTSTATUS WdfDpcCreate(PWDF_DPC_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFDPC* Dpc);
// FALSE when the DPC is already queued (nothing is added).
BOOLEAN WdfDpcEnqueue(WDFDPC Dpc);
BOOLEAN WdfDpcCancel(WDFDPC Dpc, BOOLEAN Wait);
WDFOBJECT WdfDpcGetParentObject(WDFDPC Dpc);

typedef void EVT_WDF_TIMER(WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
  ULONG Size;
  PFN_WDF_TIMER EvtTimerFunc;
  ULONG Period;  // milliseconds; 0 for a one-shot timer
  BOOLEAN AutomaticSerialization;
  ULONG TolerableDelay;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

inline void WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc) {
  std::memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
  Config->Size = sizeof(WDF_TIMER_CONFIG);
  Config->EvtTimerFunc = EvtTimerFunc;
  Config->Period = 0;
  Config->AutomaticSerialization = TRUE;
  Config->TolerableDelay = 0;
}

inline void WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc, LONG Period) {
  std::memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
  Config->Size = sizeof(WDF_TIMER_CONFIG);
  Config->EvtTimerFunc = EvtTimerFunc;
  Config->Period = (ULONG)Period;
  Config->AutomaticSerialization = TRUE;
  Config->TolerableDelay = 0;
}

// The parent (required, in the attributes) is a device or a queue.
NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
// DueTime: negative relative, positive absolute system time, 100-ns units. A periodic timer then fires
// every Period ms. TRUE when the timer was already waiting (it is restarted).
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
// TRUE when the timer was waiting. With Wait TRUE (PASSIVE_LEVEL only) the call returns after any
// expiry already due has run its callback; with FALSE such a callback may still run afterwards.
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);
