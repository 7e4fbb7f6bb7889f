// The framework driver, device initialisation, devices, file objects, registry keys, strings and the
// names a device publishes (symbolic links, device interfaces).
#include "device.h"

#include "system.h"

#include <algorithm>

namespace kmdf {
namespace {

FxDriver* g_driver = nullptr;

class FxString : public FxObject {
 public:
  explicit FxString(FxObject* parent) : FxObject(ObjectType::String, parent) { Assign(u""); }
  void Assign(std::u16string_view text) {
    units.assign(text.begin(), text.end());
    units.push_back(u'\0');
  }
  std::vector<char16_t> units;  // with a terminating zero
};

class FxKey : public FxObject {
 public:
  FxKey(FxObject* parent, std::u16string keyPath) : FxObject(ObjectType::Key, parent), path(std::move(keyPath)) {}
  std::u16string path;
};

// Calls that touch the registry or the object manager run at PASSIVE_LEVEL only.
bool CheckPassive(const char* call) {
  if (CurrentContext().irql == PASSIVE_LEVEL) return true;
  kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, std::string(call) + " above PASSIVE_LEVEL");
  return false;
}

FxString* LookupString(WDFSTRING handle, const char* call) {
  return LookupAs<FxString>(handle, ObjectType::String, call);
}

FxKey* LookupKey(WDFKEY handle, const char* call) { return LookupAs<FxKey>(handle, ObjectType::Key, call); }

const kmdf_host::NamedRegistryValue* FindValue(FxKey* key, PCUNICODE_STRING name) {
  auto data = Registry().find(UpperCase(key->path));
  if (data == Registry().end()) return nullptr;
  auto value = data->second.values.find(UpperCase(FromUnicodeString(name)));
  return value == data->second.values.end() ? nullptr : &value->second;
}

}  // namespace

FxDriver* CurrentDriver() { return g_driver; }
void SetCurrentDriver(FxDriver* driver) { g_driver = driver; }

FxDevice::FxDevice(FxDriver* owner, const WDFDEVICE_INIT& init)
    : FxObject(ObjectType::Device, owner),
      driver(owner),
      node(init.node),
      name(init.hasName ? init.name : std::u16string()),
      deviceType(init.deviceType),
      characteristics(init.characteristics),
      exclusive(init.exclusive),
      ioType(init.ioType),
      pnpPower(init.pnpPower),
      hasRequestAttributes(init.hasRequestAttributes),
      requestAttributes(init.requestAttributes),
      hasFileConfig(init.hasFileConfig),
      fileConfig(init.fileConfig),
      hasFileAttributes(init.hasFileAttributes),
      fileAttributes(init.fileAttributes),
      hardwareKeyPath(init.hardwareKeyPath),
      usbModel(init.usbModel),
      syncLock("device") {
  WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCapabilities);
  std::string number = std::to_string(node);
  pdoName = u"\\Device\\USBPDO-" + std::u16string(number.begin(), number.end());
}

FxDevice::~FxDevice() = default;

void FxDevice::OnDelete() {
  // Published names go with the device object.
  auto& links = SymbolicLinkTable();
  for (auto it = links.begin(); it != links.end();) {
    if (it->second.node == node) {
      it = links.erase(it);
    } else {
      ++it;
    }
  }
  auto& interfaces = InterfaceTable();
  interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                  [this](const kmdf_host::DeviceInterfaceRecord& r) { return r.node == node; }),
                   interfaces.end());
}

FxLock* FxDevice::LockFor(const FxObject* object) {
  switch (object->ResolvedSynchronizationScope()) {
    case WdfSynchronizationScopeDevice:
      return &syncLock;
    case WdfSynchronizationScopeQueue: {
      const FxObject* o = object;
      while (o != nullptr && o->Type() != ObjectType::Queue) o = o->Parent();
      if (o != nullptr) return &const_cast<FxQueue*>(static_cast<const FxQueue*>(o))->queueLock;
      return &syncLock;
    }
    default:
      return nullptr;
  }
}

FxDevice* LookupDevice(WDFDEVICE handle, const char* call) {
  return LookupAs<FxDevice>(handle, ObjectType::Device, call);
}

FxFileObject::FxFileObject(FxDevice* owner, kmdf_host::FileHandle fileHandle)
    : FxObject(ObjectType::FileObject, owner), device(owner), handle(fileHandle) {}

}  // namespace kmdf

using namespace kmdf;

// ----------------------------------------------------------------------------------------------------
// Driver.

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver) {
  if (Driver) *Driver = nullptr;
  if (DriverObject == nullptr || DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfDriverCreate");
  if (!NT_SUCCESS(status)) return status;
  if (g_driver != nullptr) return STATUS_OBJECT_NAME_COLLISION;
  FxDriver* driver = CreateObject<FxDriver>(DriverAttributes, &status);
  if (driver == nullptr) return status;
  driver->config = *DriverConfig;
  driver->driverObject = DriverObject;
  driver->registryPath = FromUnicodeString(RegistryPath);
  g_driver = driver;
  if (Driver) *Driver = driver->HandleAs<WDFDRIVER>();
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
  auto* driver = LookupAs<FxDriver>(Driver, ObjectType::Driver, "WdfDriverWdmGetDriverObject");
  return driver ? driver->driverObject : nullptr;
}

WDFDRIVER WdfGetDriver() { return g_driver ? g_driver->HandleAs<WDFDRIVER>() : nullptr; }

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
  auto* driver = LookupAs<FxDriver>(Driver, ObjectType::Driver, "WdfDriverGetRegistryPath");
  return driver ? driver->registryPath.data() : nullptr;
}

// ----------------------------------------------------------------------------------------------------
// Device initialisation.

namespace {
bool CheckInit(PWDFDEVICE_INIT init, const char* call) {
  if (init == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string(call) + ": no device-initialisation record (used after WdfDeviceCreate?)");
    return false;
  }
  if (CurrentContext().irql != PASSIVE_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, std::string(call) + " above PASSIVE_LEVEL");
  }
  return true;
}
}  // namespace

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName) {
  if (!CheckInit(DeviceInit, "WdfDeviceInitAssignName")) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfDeviceInitAssignName");
  if (!NT_SUCCESS(status)) return status;
  if (DeviceName == nullptr) {
    DeviceInit->hasName = false;
    DeviceInit->name.clear();
    return STATUS_SUCCESS;
  }
  if (DeviceName->Length % 2 != 0 || DeviceName->Length > DeviceName->MaximumLength) return STATUS_INVALID_PARAMETER;
  DeviceInit->name = FromUnicodeString(DeviceName);
  DeviceInit->hasName = true;
  return STATUS_SUCCESS;
}

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
  if (CheckInit(DeviceInit, "WdfDeviceInitSetDeviceType")) DeviceInit->deviceType = DeviceType;
}

void WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics, BOOLEAN OrInValues) {
  if (!CheckInit(DeviceInit, "WdfDeviceInitSetCharacteristics")) return;
  DeviceInit->characteristics = OrInValues ? (DeviceInit->characteristics | DeviceCharacteristics) : DeviceCharacteristics;
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
  if (!CheckInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks") || PnpPowerEventCallbacks == nullptr) return;
  if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              "WdfDeviceInitSetPnpPowerEventCallbacks: wrong Size");
    return;
  }
  DeviceInit->pnpPower = *PnpPowerEventCallbacks;
}

void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
  if (!CheckInit(DeviceInit, "WdfDeviceInitSetRequestAttributes") || RequestAttributes == nullptr) return;
  DeviceInit->requestAttributes = *RequestAttributes;
  DeviceInit->hasRequestAttributes = true;
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
  if (!CheckInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig") || FileObjectConfig == nullptr) return;
  DeviceInit->fileConfig = *FileObjectConfig;
  DeviceInit->hasFileConfig = true;
  if (FileObjectAttributes != nullptr) {
    DeviceInit->fileAttributes = *FileObjectAttributes;
    DeviceInit->hasFileAttributes = true;
  }
}

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive) {
  if (CheckInit(DeviceInit, "WdfDeviceInitSetExclusive")) DeviceInit->exclusive = IsExclusive != FALSE;
}

void WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
  if (CheckInit(DeviceInit, "WdfDeviceInitSetIoType")) DeviceInit->ioType = IoType;
}

void WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit) { (void)CheckInit(DeviceInit, "WdfDeviceInitSetPowerPageable"); }
void WdfDeviceInitSetPowerNotPageable(PWDFDEVICE_INIT DeviceInit) {
  (void)CheckInit(DeviceInit, "WdfDeviceInitSetPowerNotPageable");
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device) {
  if (Device) *Device = nullptr;
  if (DeviceInit == nullptr || !CheckInit(*DeviceInit, "WdfDeviceCreate")) return STATUS_INVALID_PARAMETER;
  WDFDEVICE_INIT* init = *DeviceInit;
  NTSTATUS status = kmdf_host::CheckFault("WdfDeviceCreate");
  if (!NT_SUCCESS(status)) return status;
  if (init->created != nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (init->hasName && DeviceByName(init->name) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
  if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) return STATUS_INVALID_PARAMETER;
  FxDevice* device = CreateObject<FxDevice>(DeviceAttributes, &status, init->driver, *init);
  if (device == nullptr) return status;
  init->created = device->HandleAs<WDFDEVICE>();
  DeviceTable()[init->node] = device;
  *DeviceInit = nullptr;
  if (Device) *Device = device->HandleAs<WDFDEVICE>();
  return STATUS_SUCCESS;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceSetPnpCapabilities");
  if (device == nullptr || PnpCapabilities == nullptr) return;
  device->pnpCapabilities = *PnpCapabilities;
}

void WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceSetStaticStopRemove");
  if (device == nullptr) return;
  if (Stoppable) {
    if (device->staticStopRemoveBlocks == 0) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                                "WdfDeviceSetStaticStopRemove(TRUE) without a matching FALSE");
      return;
    }
    --device->staticStopRemoveBlocks;
  } else {
    ++device->staticStopRemoveBlocks;
  }
}

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
  (void)DesiredAccess;
  if (Key) *Key = nullptr;
  FxDevice* device = LookupDevice(Device, "WdfDeviceOpenRegistryKey");
  if (device == nullptr) return STATUS_INVALID_HANDLE;
  if (Key == nullptr) return STATUS_INVALID_PARAMETER;
  if (CurrentContext().irql != PASSIVE_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "WdfDeviceOpenRegistryKey above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfDeviceOpenRegistryKey");
  if (!NT_SUCCESS(status)) return status;
  std::u16string path;
  switch (DeviceInstanceKeyType & ~PLUGPLAY_REGKEY_CURRENT_HWPROFILE) {
    case PLUGPLAY_REGKEY_DEVICE:
      path = device->hardwareKeyPath;
      break;
    case PLUGPLAY_REGKEY_DRIVER:
      path = device->hardwareKeyPath + u"\\Driver";
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  Registry()[UpperCase(path)];  // the key exists once opened
  FxObject* parent = ParentFromAttributes(KeyAttributes, device, "WdfDeviceOpenRegistryKey");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxKey* key = CreateObject<FxKey>(KeyAttributes, &status, parent, path);
  if (key == nullptr) return status;
  *Key = key->HandleAs<WDFKEY>();
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceRetrieveDeviceName");
  FxString* string = LookupString(String, "WdfDeviceRetrieveDeviceName");
  if (device == nullptr || string == nullptr) return STATUS_INVALID_HANDLE;
  NTSTATUS status = kmdf_host::CheckFault("WdfDeviceRetrieveDeviceName");
  if (!NT_SUCCESS(status)) return status;
  if (device->name.empty()) return STATUS_INVALID_DEVICE_STATE;
  string->Assign(device->name);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceCreateSymbolicLink");
  if (device == nullptr) return STATUS_INVALID_HANDLE;
  if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr || SymbolicLinkName->Length == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!CheckPassive("WdfDeviceCreateSymbolicLink")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfDeviceCreateSymbolicLink");
  if (!NT_SUCCESS(status)) return status;
  std::u16string linkName = FromUnicodeString(SymbolicLinkName);
  std::u16string key = CanonicalLinkName(linkName);
  if (SymbolicLinkTable().count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  SymbolicLinkTable()[key] = SymbolicLinkRecord{linkName, device->LinkTargetName(), device->node};
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceCreateDeviceInterface");
  if (device == nullptr) return STATUS_INVALID_HANDLE;
  if (InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
  if (!CheckPassive("WdfDeviceCreateDeviceInterface")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfDeviceCreateDeviceInterface");
  if (!NT_SUCCESS(status)) return status;
  std::u16string reference = FromUnicodeString(ReferenceString);
  for (auto& record : InterfaceTable()) {
    if (record.node == device->node && record.interfaceClass == *InterfaceClassGUID &&
        UpperCase(record.referenceString) == UpperCase(reference)) {
      return STATUS_SUCCESS;
    }
  }
  InterfaceTable().push_back(kmdf_host::DeviceInterfaceRecord{device->node, *InterfaceClassGUID, reference});
  return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceGetDriver");
  return device ? device->driver->HandleAs<WDFDRIVER>() : nullptr;
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceGetDefaultQueue");
  return device && device->defaultQueue ? device->defaultQueue->HandleAs<WDFQUEUE>() : nullptr;
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
  FxDevice* device = LookupDevice(Device, "WdfDeviceGetIoTarget");
  (void)device;
  // A function driver on this machine has no lower driver of its own besides its USB targets.
  return nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
  auto* file = LookupAs<FxFileObject>(FileObject, ObjectType::FileObject, "WdfFileObjectGetDevice");
  return file ? file->device->HandleAs<WDFDEVICE>() : nullptr;
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject) {
  auto* file = LookupAs<FxFileObject>(FileObject, ObjectType::FileObject, "WdfFileObjectGetFileName");
  return file ? &file->fileName : nullptr;
}

// ----------------------------------------------------------------------------------------------------
// Strings.

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String) {
  if (String) *String = nullptr;
  if (String == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfStringCreate");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = ParentFromAttributes(StringAttributes, CurrentDriver(), "WdfStringCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxString* string = CreateObject<FxString>(StringAttributes, &status, parent);
  if (string == nullptr) return status;
  if (UnicodeString != nullptr) string->Assign(FromUnicodeString(UnicodeString));
  *String = string->HandleAs<WDFSTRING>();
  return STATUS_SUCCESS;
}

void WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString) {
  FxString* string = LookupString(String, "WdfStringGetUnicodeString");
  if (string == nullptr || UnicodeString == nullptr) return;
  UnicodeString->Buffer = string->units.data();
  UnicodeString->Length = static_cast<USHORT>((string->units.size() - 1) * sizeof(WCHAR));
  UnicodeString->MaximumLength = static_cast<USHORT>(string->units.size() * sizeof(WCHAR));
}

// ----------------------------------------------------------------------------------------------------
// Registry keys.

void WdfRegistryClose(WDFKEY Key) {
  FxKey* key = LookupKey(Key, "WdfRegistryClose");
  if (key) key->Delete();
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
  FxKey* key = LookupKey(Key, "WdfRegistryQueryULong");
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (ValueName == nullptr || Value == nullptr) return STATUS_INVALID_PARAMETER;
  if (!CheckPassive("WdfRegistryQueryULong")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfRegistryQueryULong");
  if (!NT_SUCCESS(status)) return status;
  const auto* value = FindValue(key, ValueName);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto dword = value->value.AsDword();
  if (!dword) return STATUS_OBJECT_TYPE_MISMATCH;
  *Value = *dword;
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value) {
  FxKey* key = LookupKey(Key, "WdfRegistryQueryUnicodeString");
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (ValueName == nullptr) return STATUS_INVALID_PARAMETER;
  if (!CheckPassive("WdfRegistryQueryUnicodeString")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfRegistryQueryUnicodeString");
  if (!NT_SUCCESS(status)) return status;
  const auto* value = FindValue(key, ValueName);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  const auto& data = value->value.data;
  if (value->value.type != REG_SZ && value->value.type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
  if (data.size() > 0xFFFF) return STATUS_BUFFER_OVERFLOW;
  if (ValueByteLength) *ValueByteLength = static_cast<USHORT>(data.size());
  if (Value == nullptr) return STATUS_SUCCESS;
  if (data.size() > Value->MaximumLength || (Value->Buffer == nullptr && !data.empty())) return STATUS_BUFFER_OVERFLOW;
  if (!data.empty()) std::memcpy(Value->Buffer, data.data(), data.size());
  std::size_t units = data.size() / 2;
  while (units > 0 && Value->Buffer[units - 1] == u'\0') --units;
  Value->Length = static_cast<USHORT>(units * 2);
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType) {
  FxKey* key = LookupKey(Key, "WdfRegistryQueryValue");
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckPassive("WdfRegistryQueryValue")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfRegistryQueryValue");
  if (!NT_SUCCESS(status)) return status;
  const auto* value = FindValue(key, ValueName);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (ValueLengthQueried) *ValueLengthQueried = static_cast<ULONG>(value->value.data.size());
  if (ValueType) *ValueType = value->value.type;
  if (value->value.data.size() > ValueLength) return STATUS_BUFFER_OVERFLOW;
  if (Value && !value->value.data.empty()) std::memcpy(Value, value->value.data.data(), value->value.data.size());
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
  FxKey* key = LookupKey(Key, "WdfRegistryAssignULong");
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckPassive("WdfRegistryAssignULong")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfRegistryAssignULong");
  if (!NT_SUCCESS(status)) return status;
  kmdf_host::WriteRegistryValue(key->path, FromUnicodeString(ValueName), kmdf_host::RegistryValue::Dword(Value));
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value) {
  FxKey* key = LookupKey(Key, "WdfRegistryAssignUnicodeString");
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckPassive("WdfRegistryAssignUnicodeString")) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault("WdfRegistryAssignUnicodeString");
  if (!NT_SUCCESS(status)) return status;
  kmdf_host::WriteRegistryValue(key->path, FromUnicodeString(ValueName),
                                kmdf_host::RegistryValue::String(FromUnicodeString(Value)));
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName) {
  FxKey* key = LookupKey(Key, "WdfRegistryRemoveValue");
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  auto data = Registry().find(UpperCase(key->path));
  if (data == Registry().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return data->second.values.erase(UpperCase(FromUnicodeString(ValueName))) ? STATUS_SUCCESS
                                                                           : STATUS_OBJECT_NAME_NOT_FOUND;
}
