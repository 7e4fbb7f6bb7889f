// The framework object model: every object has a handle, an optional parent, children, typed contexts
// and clean-up callbacks. Deleting an object deletes its children first; each object's clean-up
// callbacks run before its memory goes. Handles are looked up through a table, so a handle used after its
// object was deleted is reported (never dereferenced).
#pragma once

#include <wdf.h>

#include <kmdf_host/host.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kmdf {

enum class ObjectType {
  Generic,
  Driver,
  Device,
  Queue,
  Request,
  FileObject,
  Dpc,
  Timer,
  Memory,
  Collection,
  String,
  Key,
  IoTarget,
  UsbDevice,
  UsbInterface,
  UsbPipe,
};

const char* ToString(ObjectType type);

class FxDevice;
class FxDriver;
void ResetObjects();

class FxObject {
 public:
  FxObject(ObjectType type, FxObject* parent);
  virtual ~FxObject();
  FxObject(const FxObject&) = delete;
  FxObject& operator=(const FxObject&) = delete;

  ObjectType Type() const { return type_; }
  WDFOBJECT Handle() const { return handle_; }
  template <class H>
  H HandleAs() const {
    return static_cast<H>(handle_);
  }
  FxObject* Parent() const { return parent_; }
  // The device this object belongs to (itself for a device), or null.
  FxDevice* Device() const;
  bool Deleting() const { return deleting_; }

  // Applies the object attributes given at creation: context, clean-up and destroy callbacks, level and
  // scope. Call once after construction; fails with STATUS_INSUFFICIENT_RESOURCES when the context
  // cannot be allocated.
  NTSTATUS ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes);
  // Adds another context (WdfObjectAllocateContext). STATUS_OBJECT_NAME_EXISTS if that type is present.
  NTSTATUS AddContext(const WDF_OBJECT_ATTRIBUTES* attributes, void** context);
  void* Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const;
  bool HasContexts() const { return !contexts_.empty(); }

  WDF_EXECUTION_LEVEL ExecutionLevel() const { return executionLevel_; }
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope() const { return syncScope_; }
  // Scope and level with "inherit from parent" resolved up the tree.
  WDF_SYNCHRONIZATION_SCOPE ResolvedSynchronizationScope() const;
  WDF_EXECUTION_LEVEL ResolvedExecutionLevel() const;

  // Whether WdfObjectDelete may delete this object (framework-owned objects refuse).
  virtual bool DriverMayDelete() const { return true; }
  // Deletes the object tree rooted here: children first, then OnDelete, clean-up callbacks, removal
  // from the parent, destroy callbacks; the memory goes when no reference remains.
  void Delete();
  void Reference() { ++references_; }
  void Dereference();

  const std::vector<FxObject*>& Children() const { return children_; }

 protected:
  // Called once when deletion starts (after the children are gone): stop timers, cancel work.
  virtual void OnDelete() {}

 private:
  friend class ObjectTable;
  friend void ResetObjects();
  struct ContextRecord {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = nullptr;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    void* memory = nullptr;  // zero-filled, 16-byte aligned
    std::size_t size = 0;
  };
  NTSTATUS AllocateContext(const WDF_OBJECT_ATTRIBUTES* attributes, void** context);
  void RemoveChild(FxObject* child);

  ObjectType type_;
  WDFOBJECT handle_ = nullptr;
  FxObject* parent_ = nullptr;
  std::vector<FxObject*> children_;
  std::vector<ContextRecord> contexts_;
  WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
  WDF_SYNCHRONIZATION_SCOPE syncScope_ = WdfSynchronizationScopeInheritFromParent;
  bool deleting_ = false;
  bool deleted_ = false;
  int references_ = 0;
};

// Maps handles to objects. Objects are owned by the table and freed when deleted and unreferenced.
class ObjectTable {
 public:
  static WDFOBJECT Register(std::unique_ptr<FxObject> object);
  // The live object of a handle; reports (as `call`) and returns null for NULL, unknown or deleted
  // handles.
  static FxObject* Lookup(WDFOBJECT handle, const char* call);
  // Same, without reporting.
  static FxObject* Find(WDFOBJECT handle);
  // Also finds an object that was deleted but is still referenced.
  static FxObject* FindIncludingDeleted(WDFOBJECT handle);
  static void Free(FxObject* object);
  static FxObject* ObjectOfContext(const void* context);
  static void RegisterContext(const void* context, FxObject* object);
  static void UnregisterContext(const void* context);
  static std::size_t LiveCount();
  // Frees every object without running callbacks (system reset).
  static void Clear();
};

// Creates an object of type T, registers its handle and applies the attributes. On failure the object
// is freed and null returned with *status set.
template <class T, class... Args>
T* CreateObject(const WDF_OBJECT_ATTRIBUTES* attributes, NTSTATUS* status, Args&&... args) {
  auto owned = std::make_unique<T>(std::forward<Args>(args)...);
  T* object = owned.get();
  ObjectTable::Register(std::move(owned));
  *status = object->ApplyAttributes(attributes);
  if (!NT_SUCCESS(*status)) {
    object->Delete();
    return nullptr;
  }
  return object;
}

// Objects deleted while work runs stay in memory until the outermost piece of work (scheduler task or
// host call) returns, so code up the stack never touches freed memory.
void EnterTask();
void LeaveTask();
struct HostCallGuard {
  HostCallGuard() { EnterTask(); }
  ~HostCallGuard() { LeaveTask(); }
};

// Looks up a handle expecting a given object type; reports a wrong type as InvalidCall.
template <class T>
T* LookupAs(WDFOBJECT handle, ObjectType type, const char* call) {
  FxObject* object = ObjectTable::Lookup(handle, call);
  if (object == nullptr) return nullptr;
  if (object->Type() != type) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string(call) + ": handle is a " + ToString(object->Type()) + ", not a " +
                                  ToString(type));
    return nullptr;
  }
  return static_cast<T*>(object);
}

// The parent named by attributes, or `fallback` when none is given. Reports a deleted parent.
FxObject* ParentFromAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, FxObject* fallback, const char* call);

}  // namespace kmdf
