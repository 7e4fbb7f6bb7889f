// Object tree, handles, typed contexts, clean-up and deletion; the object calls of the framework.
#include "object.h"

#include "device.h"
#include "system.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <new>
#include <unordered_map>

namespace kmdf {
namespace {

struct Slot {
  std::unique_ptr<FxObject> object;
  std::uint32_t generation = 1;
  bool live = false;
};

std::vector<Slot> g_slots;
std::deque<std::uint32_t> g_freeSlots;
std::unordered_map<const void*, FxObject*> g_contexts;
std::vector<std::unique_ptr<FxObject>> g_graveyard;
std::unordered_map<const FxObject*, std::uint32_t> g_slotOf;
int g_taskDepth = 0;

WDFOBJECT EncodeHandle(std::uint32_t index, std::uint32_t generation) {
  std::uint64_t value = ((static_cast<std::uint64_t>(generation) << 24) | (index + 1)) << 4;
  return reinterpret_cast<WDFOBJECT>(static_cast<std::uintptr_t>(value));
}

bool DecodeHandle(WDFOBJECT handle, std::uint32_t* index, std::uint32_t* generation) {
  auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
  if ((value & 0xF) != 0) return false;
  value >>= 4;
  std::uint32_t slot = static_cast<std::uint32_t>(value & 0xFFFFFF);
  if (slot == 0) return false;
  *index = slot - 1;
  *generation = static_cast<std::uint32_t>(value >> 24);
  return true;
}

void CollectGarbage() {
  if (g_taskDepth == 0) g_graveyard.clear();
}

}  // namespace

const char* ToString(ObjectType type) {
  switch (type) {
    case ObjectType::Generic: return "object";
    case ObjectType::Driver: return "driver";
    case ObjectType::Device: return "device";
    case ObjectType::Queue: return "queue";
    case ObjectType::Request: return "request";
    case ObjectType::FileObject: return "file object";
    case ObjectType::Dpc: return "DPC";
    case ObjectType::Timer: return "timer";
    case ObjectType::Memory: return "memory";
    case ObjectType::Collection: return "collection";
    case ObjectType::String: return "string";
    case ObjectType::Key: return "registry key";
    case ObjectType::IoTarget: return "I/O target";
    case ObjectType::UsbDevice: return "USB device";
    case ObjectType::UsbInterface: return "USB interface";
    case ObjectType::UsbPipe: return "USB pipe";
  }
  return "object";
}

void EnterTask() { ++g_taskDepth; }
void LeaveTask() {
  --g_taskDepth;
  CollectGarbage();
}

void ResetObjects() {
  // Objects are dropped without callbacks; contexts go with them.
  ++g_taskDepth;
  std::vector<std::unique_ptr<FxObject>> all;
  for (auto& slot : g_slots) {
    if (slot.object) all.push_back(std::move(slot.object));
  }
  g_slots.clear();
  g_freeSlots.clear();
  g_contexts.clear();
  g_slotOf.clear();
  for (auto& object : all) object->children_.clear();
  all.clear();
  g_graveyard.clear();
  --g_taskDepth;
}

FxObject::FxObject(ObjectType type, FxObject* parent) : type_(type), parent_(parent) {
  if (parent_ != nullptr) parent_->children_.push_back(this);
}

FxObject::~FxObject() {
  for (auto& context : contexts_) {
    ::operator delete(context.memory, std::align_val_t(16));
  }
}

FxDevice* FxObject::Device() const {
  const FxObject* object = this;
  while (object != nullptr && object->type_ != ObjectType::Device) object = object->parent_;
  return const_cast<FxDevice*>(static_cast<const FxDevice*>(object));
}

NTSTATUS FxObject::AllocateContext(const WDF_OBJECT_ATTRIBUTES* attributes, void** context) {
  if (attributes == nullptr || attributes->ContextTypeInfo == nullptr) {
    if (context) *context = nullptr;
    return STATUS_SUCCESS;
  }
  PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes->ContextTypeInfo;
  if (type->UniqueType != nullptr) type = type->UniqueType;
  for (auto& existing : contexts_) {
    if (existing.type == type) return STATUS_OBJECT_NAME_EXISTS;
  }
  std::size_t size = type->ContextSize;
  if (attributes->ContextSizeOverride > size) size = attributes->ContextSizeOverride;
  if (!PoolReserve(size)) return STATUS_INSUFFICIENT_RESOURCES;
  PoolRelease(size);  // contexts are accounted to the object, not kept against the pool
  void* memory = ::operator new(size == 0 ? 1 : size, std::align_val_t(16));
  std::memset(memory, 0, size == 0 ? 1 : size);
  contexts_.push_back(ContextRecord{type, attributes->EvtCleanupCallback, attributes->EvtDestroyCallback, memory, size});
  ObjectTable::RegisterContext(memory, this);
  if (context) *context = memory;
  return STATUS_SUCCESS;
}

NTSTATUS FxObject::ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes) {
  if (attributes == nullptr) return STATUS_SUCCESS;
  if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, "object attributes with a wrong Size");
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  executionLevel_ = attributes->ExecutionLevel == WdfExecutionLevelInvalid ? WdfExecutionLevelInheritFromParent
                                                                           : attributes->ExecutionLevel;
  syncScope_ = attributes->SynchronizationScope == WdfSynchronizationScopeInvalid
                   ? WdfSynchronizationScopeInheritFromParent
                   : attributes->SynchronizationScope;
  if (attributes->ContextTypeInfo == nullptr) {
    // Callbacks without a context still run.
    if (attributes->EvtCleanupCallback != nullptr || attributes->EvtDestroyCallback != nullptr) {
      contexts_.push_back(
          ContextRecord{nullptr, attributes->EvtCleanupCallback, attributes->EvtDestroyCallback, nullptr, 0});
    }
    return STATUS_SUCCESS;
  }
  return AllocateContext(attributes, nullptr);
}

NTSTATUS FxObject::AddContext(const WDF_OBJECT_ATTRIBUTES* attributes, void** context) {
  if (attributes == nullptr || attributes->ContextTypeInfo == nullptr) return STATUS_INVALID_PARAMETER;
  return AllocateContext(attributes, context);
}

void* FxObject::Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const {
  if (type == nullptr) return nullptr;
  if (type->UniqueType != nullptr) type = type->UniqueType;
  for (auto& context : contexts_) {
    if (context.type == type) return context.memory;
  }
  return nullptr;
}

WDF_SYNCHRONIZATION_SCOPE FxObject::ResolvedSynchronizationScope() const {
  const FxObject* object = this;
  while (object != nullptr) {
    if (object->syncScope_ != WdfSynchronizationScopeInheritFromParent) return object->syncScope_;
    object = object->parent_;
  }
  return WdfSynchronizationScopeNone;
}

WDF_EXECUTION_LEVEL FxObject::ResolvedExecutionLevel() const {
  const FxObject* object = this;
  while (object != nullptr) {
    if (object->executionLevel_ != WdfExecutionLevelInheritFromParent) return object->executionLevel_;
    object = object->parent_;
  }
  return WdfExecutionLevelDispatch;
}

void FxObject::RemoveChild(FxObject* child) {
  children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

void FxObject::Delete() {
  if (deleting_) return;
  deleting_ = true;
  ++g_taskDepth;
  Reference();
  // Children first, most recently created first.
  while (!children_.empty()) {
    FxObject* child = children_.back();
    child->Delete();
    if (!children_.empty() && children_.back() == child) children_.pop_back();
  }
  OnDelete();
  for (auto& context : contexts_) {
    if (context.cleanup != nullptr) context.cleanup(handle_);
  }
  ForgetInCollections(handle_);
  if (parent_ != nullptr) {
    parent_->RemoveChild(this);
  }
  deleted_ = true;
  --g_taskDepth;
  Dereference();
}

void FxObject::Dereference() {
  if (--references_ > 0) return;
  if (!deleted_) return;
  for (auto& context : contexts_) {
    if (context.destroy != nullptr) context.destroy(handle_);
  }
  ObjectTable::Free(this);
}

WDFOBJECT ObjectTable::Register(std::unique_ptr<FxObject> object) {
  std::uint32_t index;
  if (!g_freeSlots.empty()) {
    index = g_freeSlots.back();
    g_freeSlots.pop_back();
  } else {
    index = static_cast<std::uint32_t>(g_slots.size());
    g_slots.emplace_back();
  }
  Slot& slot = g_slots[index];
  slot.live = true;
  object->handle_ = EncodeHandle(index, slot.generation);
  g_slotOf[object.get()] = index;
  WDFOBJECT handle = object->handle_;
  slot.object = std::move(object);
  return handle;
}

FxObject* ObjectTable::Find(WDFOBJECT handle) {
  std::uint32_t index, generation;
  if (handle == nullptr || !DecodeHandle(handle, &index, &generation)) return nullptr;
  if (index >= g_slots.size()) return nullptr;
  Slot& slot = g_slots[index];
  if (!slot.live || slot.generation != generation || !slot.object) return nullptr;
  if (slot.object->deleted_) return nullptr;
  return slot.object.get();
}

FxObject* ObjectTable::FindIncludingDeleted(WDFOBJECT handle) {
  std::uint32_t index, generation;
  if (handle == nullptr || !DecodeHandle(handle, &index, &generation)) return nullptr;
  if (index >= g_slots.size()) return nullptr;
  Slot& slot = g_slots[index];
  if (!slot.live || slot.generation != generation || !slot.object) return nullptr;
  return slot.object.get();
}

FxObject* ObjectTable::Lookup(WDFOBJECT handle, const char* call) {
  if (handle == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, std::string(call) + ": NULL handle");
    return nullptr;
  }
  FxObject* object = Find(handle);
  if (object == nullptr) {
    std::uint32_t index, generation;
    if (DecodeHandle(handle, &index, &generation) && index < g_slots.size()) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::DeletedObjectUsed,
                                std::string(call) + ": the object was deleted");
    } else {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, std::string(call) + ": not a handle");
    }
  }
  return object;
}

void ObjectTable::Free(FxObject* object) {
  auto it = g_slotOf.find(object);
  if (it == g_slotOf.end()) return;
  std::uint32_t index = it->second;
  g_slotOf.erase(it);
  for (auto& context : object->contexts_) {
    if (context.memory) g_contexts.erase(context.memory);
  }
  Slot& slot = g_slots[index];
  slot.live = false;
  slot.generation = slot.generation + 1;
  if (slot.generation == 0) slot.generation = 1;
  g_graveyard.push_back(std::move(slot.object));
  g_freeSlots.push_front(index);  // the slot freed longest ago is reused first
}

FxObject* ObjectTable::ObjectOfContext(const void* context) {
  auto it = g_contexts.find(context);
  return it == g_contexts.end() ? nullptr : it->second;
}

void ObjectTable::RegisterContext(const void* context, FxObject* object) { g_contexts[context] = object; }
void ObjectTable::UnregisterContext(const void* context) { g_contexts.erase(context); }

std::size_t ObjectTable::LiveCount() {
  std::size_t count = 0;
  for (auto& slot : g_slots) {
    if (slot.live && slot.object && !slot.object->deleted_) ++count;
  }
  return count;
}

void ObjectTable::Clear() { ResetObjects(); }

FxObject* ParentFromAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, FxObject* fallback, const char* call) {
  if (attributes == nullptr || attributes->ParentObject == nullptr) return fallback;
  return ObjectTable::Lookup(attributes->ParentObject, call);
}

FxLock* ObjectLock(FxObject* object, const char* call) {
  if (object->Type() == ObjectType::Device) return &static_cast<FxDevice*>(object)->syncLock;
  if (object->Type() == ObjectType::Queue) {
    auto* queue = static_cast<FxQueue*>(object);
    if (queue->ResolvedSynchronizationScope() == WdfSynchronizationScopeQueue) return &queue->queueLock;
    return &queue->device->syncLock;
  }
  kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                            std::string(call) + ": a " + ToString(object->Type()) + " has no lock");
  return nullptr;
}

}  // namespace kmdf

using namespace kmdf;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
  FxObject* object = ObjectTable::Lookup(Handle, "WdfObjectGetTypedContextWorker");
  if (object == nullptr) return nullptr;
  void* context = object->Context(TypeInfo);
  if (context == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string("WdfObjectGetTypedContext: the ") + ToString(object->Type()) +
                                  " has no context of type " + (TypeInfo && TypeInfo->ContextName ? TypeInfo->ContextName : "?"));
  }
  return context;
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context) {
  FxObject* object = ObjectTable::Lookup(Handle, "WdfObjectAllocateContext");
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  return object->AddContext(ContextAttributes, Context);
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer) {
  FxObject* object = ObjectTable::ObjectOfContext(ContextPointer);
  if (object == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::DeletedObjectUsed,
                              "WdfObjectContextGetObject: not the context of a live object");
    return nullptr;
  }
  return object->Handle();
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
  if (Object == nullptr) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  FxObject* parent = ParentFromAttributes(Attributes, CurrentDriver(), "WdfObjectCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  FxObject* object = CreateObject<FxObject>(Attributes, &status, ObjectType::Generic, parent);
  if (object) *Object = object->Handle();
  return status;
}

void WdfObjectDelete(WDFOBJECT Object) {
  FxObject* object = ObjectTable::Lookup(Object, "WdfObjectDelete");
  if (object == nullptr) return;
  if (!object->DriverMayDelete()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string("WdfObjectDelete: a ") + ToString(object->Type()) +
                                  " of the framework cannot be deleted by the driver");
    return;
  }
  if (object->Type() == ObjectType::Request) {
    auto* request = static_cast<FxRequest*>(object);
    if (request->place == RequestPlace::Sent) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                                "WdfObjectDelete: the request is still sent to an I/O target");
      return;
    }
  }
  object->Delete();
}

void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID, LONG, PCSTR) {
  FxObject* object = ObjectTable::Lookup(Handle, "WdfObjectReference");
  if (object) object->Reference();
}

void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID, LONG, PCSTR) {
  // A dereference may come after deletion (the reference kept the memory).
  FxObject* object = ObjectTable::FindIncludingDeleted(Handle);
  if (object == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::DeletedObjectUsed, "WdfObjectDereference: no such object");
    return;
  }
  object->Dereference();
}

void WdfObjectAcquireLock(WDFOBJECT Object) {
  FxObject* object = ObjectTable::Lookup(Object, "WdfObjectAcquireLock");
  if (object == nullptr) return;
  FxLock* lock = ObjectLock(object, "WdfObjectAcquireLock");
  if (lock) lock->Acquire();
}

void WdfObjectReleaseLock(WDFOBJECT Object) {
  FxObject* object = ObjectTable::Lookup(Object, "WdfObjectReleaseLock");
  if (object == nullptr) return;
  FxLock* lock = ObjectLock(object, "WdfObjectReleaseLock");
  if (lock) lock->Release();
}

BOOLEAN KmdfObjectIsLockHeld(WDFOBJECT Object) {
  FxObject* object = ObjectTable::Lookup(Object, "KmdfObjectIsLockHeld");
  if (object == nullptr) return FALSE;
  FxLock* lock = ObjectLock(object, "KmdfObjectIsLockHeld");
  return lock != nullptr && lock->HeldByCurrent() ? TRUE : FALSE;
}

namespace kmdf_host {
std::size_t LiveObjectCount() { return kmdf::ObjectTable::LiveCount(); }
}  // namespace kmdf_host
