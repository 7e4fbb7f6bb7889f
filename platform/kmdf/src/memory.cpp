// Memory objects, the bounded non-paged pool, pool allocations and collections.
#include "device.h"
#include "system.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>

namespace kmdf {
namespace {

constexpr std::size_t kDefaultPoolLimit = 64u * 1024u * 1024u;
std::size_t g_poolLimit = kDefaultPoolLimit;
std::size_t g_poolUsed = 0;
std::unordered_map<void*, std::size_t> g_poolBlocks;

class FxCollection : public FxObject {
 public:
  explicit FxCollection(FxObject* parent) : FxObject(ObjectType::Collection, parent) { All().push_back(this); }
  ~FxCollection() override {
    auto& all = All();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
  }
  static std::vector<FxCollection*>& All() {
    static std::vector<FxCollection*> collections;
    return collections;
  }
  std::vector<WDFOBJECT> items;

 protected:
  void OnDelete() override {
    auto& all = All();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
  }
};

FxCollection* LookupCollection(WDFCOLLECTION handle, const char* call) {
  return LookupAs<FxCollection>(handle, ObjectType::Collection, call);
}

}  // namespace

bool PoolReserve(std::size_t bytes) {
  if (bytes > g_poolLimit || g_poolUsed > g_poolLimit - bytes) return false;
  g_poolUsed += bytes;
  return true;
}

void PoolRelease(std::size_t bytes) { g_poolUsed = bytes > g_poolUsed ? 0 : g_poolUsed - bytes; }

void ResetPool() {
  for (auto& [block, size] : g_poolBlocks) std::free(block);
  g_poolBlocks.clear();
  g_poolUsed = 0;
  g_poolLimit = kDefaultPoolLimit;
  FxCollection::All().clear();
}

void ForgetInCollections(WDFOBJECT handle) {
  for (FxCollection* collection : FxCollection::All()) {
    auto& items = collection->items;
    items.erase(std::remove(items.begin(), items.end(), handle), items.end());
  }
}

FxMemory::FxMemory(FxObject* parent, std::uint8_t* data, std::size_t length, bool owns, ULONG poolTag)
    : FxObject(ObjectType::Memory, parent), buffer(data), size(length), ownsBuffer(owns), tag(poolTag) {}

FxMemory::~FxMemory() {
  if (ownsBuffer) {
    std::free(buffer);
    PoolRelease(size);
  }
}

FxMemory* LookupMemory(WDFMEMORY handle, const char* call) {
  return LookupAs<FxMemory>(handle, ObjectType::Memory, call);
}

FxMemory* CreateRequestMemory(FxRequest* request, std::uint8_t* buffer, std::size_t size) {
  NTSTATUS status;
  FxMemory* memory = CreateObject<FxMemory>(nullptr, &status, request, buffer, size, false, 0);
  if (memory) memory->frameworkOwned = true;
  return memory;
}

}  // namespace kmdf

using namespace kmdf;

namespace {
// Fresh pool memory holds no meaningful data; a fixed pattern keeps runs deterministic.
constexpr int kFreshPoolFill = 0xCD;
}  // namespace

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY* Memory, PVOID* Buffer) {
  if (Memory) *Memory = nullptr;
  if (Buffer) *Buffer = nullptr;
  if (Memory == nullptr || BufferSize == 0) return STATUS_INVALID_PARAMETER;
  if (PoolType == PagedPool && CurrentContext().irql > APC_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "WdfMemoryCreate of paged pool at DISPATCH_LEVEL");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfMemoryCreate");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = ParentFromAttributes(Attributes, CurrentDriver(), "WdfMemoryCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  if (!PoolReserve(BufferSize)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* data = static_cast<std::uint8_t*>(std::malloc(BufferSize));
  if (data == nullptr) {
    PoolRelease(BufferSize);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(data, kFreshPoolFill, BufferSize);
  FxMemory* memory = CreateObject<FxMemory>(Attributes, &status, parent, data, BufferSize, true, PoolTag);
  if (memory == nullptr) return status;
  *Memory = memory->HandleAs<WDFMEMORY>();
  if (Buffer) *Buffer = data;
  return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                     WDFMEMORY* Memory) {
  if (Memory) *Memory = nullptr;
  if (Memory == nullptr || Buffer == nullptr || BufferSize == 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfMemoryCreatePreallocated");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = ParentFromAttributes(Attributes, CurrentDriver(), "WdfMemoryCreatePreallocated");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxMemory* memory =
      CreateObject<FxMemory>(Attributes, &status, parent, static_cast<std::uint8_t*>(Buffer), BufferSize, false, 0);
  if (memory == nullptr) return status;
  *Memory = memory->HandleAs<WDFMEMORY>();
  return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
  if (BufferSize) *BufferSize = 0;
  FxMemory* memory = LookupMemory(Memory, "WdfMemoryGetBuffer");
  if (memory == nullptr) return nullptr;
  if (BufferSize) *BufferSize = memory->size;
  return memory->buffer;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo) {
  FxMemory* memory = LookupMemory(SourceMemory, "WdfMemoryCopyToBuffer");
  if (memory == nullptr) return STATUS_INVALID_HANDLE;
  if (Buffer == nullptr || SourceOffset > memory->size || NumBytesToCopyTo > memory->size - SourceOffset) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(Buffer, memory->buffer + SourceOffset, NumBytesToCopyTo);
  return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom) {
  FxMemory* memory = LookupMemory(DestinationMemory, "WdfMemoryCopyFromBuffer");
  if (memory == nullptr) return STATUS_INVALID_HANDLE;
  if (Buffer == nullptr || DestinationOffset > memory->size || NumBytesToCopyFrom > memory->size - DestinationOffset) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(memory->buffer + DestinationOffset, Buffer, NumBytesToCopyFrom);
  return STATUS_SUCCESS;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  (void)Tag;
  if (PoolType == PagedPool && CurrentContext().irql > APC_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, "paged pool allocated at DISPATCH_LEVEL");
    return nullptr;
  }
  if (!NT_SUCCESS(kmdf_host::CheckFault("ExAllocatePoolWithTag"))) return nullptr;
  if (NumberOfBytes == 0 || !PoolReserve(NumberOfBytes)) return nullptr;
  void* block = std::malloc(NumberOfBytes);
  if (block == nullptr) {
    PoolRelease(NumberOfBytes);
    return nullptr;
  }
  std::memset(block, kFreshPoolFill, NumberOfBytes);
  g_poolBlocks[block] = NumberOfBytes;
  return block;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) { return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0); }

void ExFreePoolWithTag(PVOID P, ULONG) { ExFreePool(P); }

void ExFreePool(PVOID P) {
  auto it = g_poolBlocks.find(P);
  if (it == g_poolBlocks.end()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, "ExFreePool of a block not from the pool");
    return;
  }
  PoolRelease(it->second);
  std::free(P);
  g_poolBlocks.erase(it);
}

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection) {
  if (Collection) *Collection = nullptr;
  if (Collection == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfCollectionCreate");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = ParentFromAttributes(CollectionAttributes, CurrentDriver(), "WdfCollectionCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxCollection* collection = CreateObject<FxCollection>(CollectionAttributes, &status, parent);
  if (collection == nullptr) return status;
  *Collection = collection->HandleAs<WDFCOLLECTION>();
  return STATUS_SUCCESS;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionGetCount");
  return collection ? static_cast<ULONG>(collection->items.size()) : 0;
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionAdd");
  if (collection == nullptr) return STATUS_INVALID_HANDLE;
  if (ObjectTable::Lookup(Object, "WdfCollectionAdd") == nullptr) return STATUS_INVALID_HANDLE;
  NTSTATUS status = kmdf_host::CheckFault("WdfCollectionAdd");
  if (!NT_SUCCESS(status)) return status;
  if (!PoolReserve(sizeof(void*) * 4)) return STATUS_INSUFFICIENT_RESOURCES;
  PoolRelease(sizeof(void*) * 4);
  collection->items.push_back(Object);
  return STATUS_SUCCESS;
}

void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionRemove");
  if (collection == nullptr) return;
  auto it = std::find(collection->items.begin(), collection->items.end(), Item);
  if (it == collection->items.end()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, "WdfCollectionRemove: the item is not there");
    return;
  }
  collection->items.erase(it);
}

void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionRemoveItem");
  if (collection == nullptr) return;
  if (Index >= collection->items.size()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, "WdfCollectionRemoveItem: index out of range");
    return;
  }
  collection->items.erase(collection->items.begin() + Index);
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionGetItem");
  if (collection == nullptr || Index >= collection->items.size()) return nullptr;
  return collection->items[Index];
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionGetFirstItem");
  return collection && !collection->items.empty() ? collection->items.front() : nullptr;
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
  FxCollection* collection = LookupCollection(Collection, "WdfCollectionGetLastItem");
  return collection && !collection->items.empty() ? collection->items.back() : nullptr;
}

namespace kmdf_host {
void SetPoolLimit(std::size_t bytes) { kmdf::g_poolLimit = bytes; }
std::size_t PoolBytesInUse() { return kmdf::g_poolUsed; }
}  // namespace kmdf_host
