// The object tree: typed contexts, clean-up order, deletion with the parent, handles after deletion,
// and a failed device add.
#include "layer_fixture.h"

namespace layer_test {
namespace {

struct Counter {
  ULONG Value;
  ULONG Padding[15];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(Counter, GetCounter)

std::vector<WDFOBJECT> g_cleaned;
void RecordCleanup(WDFOBJECT object) { g_cleaned.push_back(object); }

class ObjectTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    g_cleaned.clear();
    StartDevice();
  }
  WDFOBJECT CreateChild(WDFOBJECT parent) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, Counter);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = RecordCleanup;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    return object;
  }
};

TEST_F(ObjectTest, TypedContext_StartsZeroedAndMapsBackToItsObject) {
  WDFOBJECT object = CreateChild(ctx_->Device);
  Counter* counter = GetCounter(object);
  ASSERT_NE(counter, nullptr);
  for (ULONG word : counter->Padding) EXPECT_EQ(word, 0u);
  EXPECT_EQ(counter->Value, 0u);
  EXPECT_EQ(WdfObjectContextGetObject(counter), object);
  EXPECT_EQ(WdfObjectContextGetObject(test_driver::ContextOf(ctx_->Device)), static_cast<WDFOBJECT>(ctx_->Device));
}

TEST_F(ObjectTest, Delete_RemovesChildrenFirstWithTheirCleanup) {
  WDFOBJECT parent = CreateChild(ctx_->Device);
  WDFOBJECT child = CreateChild(parent);
  WDFOBJECT grandchild = CreateChild(child);
  WdfObjectDelete(parent);
  ASSERT_EQ(g_cleaned.size(), 3u);
  EXPECT_EQ(g_cleaned[0], grandchild);
  EXPECT_EQ(g_cleaned[1], child);
  EXPECT_EQ(g_cleaned[2], parent);
}

TEST_F(ObjectTest, DeviceRemoval_DeletesEveryObjectItParents) {
  WDFOBJECT a = CreateChild(ctx_->Device);
  WDFOBJECT b = CreateChild(a);
  std::size_t before = kmdf_host::LiveObjectCount();
  EXPECT_GT(before, 2u);
  ASSERT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(g_cleaned.size(), 2u);
  EXPECT_EQ(g_cleaned[0], b);
  EXPECT_NE(test_driver::Find("EvtDeviceCleanup"), nullptr);
  EXPECT_EQ(kmdf_host::DeviceObject(node_), nullptr);
  // Only the driver object is left.
  EXPECT_EQ(kmdf_host::LiveObjectCount(), 1u);
}

TEST_F(ObjectTest, HandleAfterDelete_IsReportedAndNotUsed) {
  ExpectVerifier(kmdf_host::VerifierCheck::DeletedObjectUsed);
  WDFMEMORY memory;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx_->Device;
  ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPool, 0, 16, &memory, nullptr), STATUS_SUCCESS);
  WdfObjectDelete(memory);
  size_t size = 99;
  EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(Reported(kmdf_host::VerifierCheck::DeletedObjectUsed));
}

TEST_F(ObjectTest, FrameworkObjects_RefuseDeletionByTheDriver) {
  ExpectVerifier(kmdf_host::VerifierCheck::InvalidCall);
  WdfObjectDelete(ctx_->Device);
  EXPECT_TRUE(Reported(kmdf_host::VerifierCheck::InvalidCall));
  EXPECT_NE(kmdf_host::DeviceObject(node_), nullptr);
}

class DeviceAddTest : public LayerTest {};

TEST_F(DeviceAddTest, FailedAdd_DeletesTheDeviceAndRunsItsCleanup) {
  test_driver::TheHooks().deviceAdd = [](test_driver::DeviceContext*) { return STATUS_INSUFFICIENT_RESOURCES; };
  kmdf_host::DeviceNode node = 0;
  EXPECT_EQ(kmdf_host::AddDevice({}, &node), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(node, 0u);
  EXPECT_TRUE(kmdf_host::Devices().empty());
  EXPECT_NE(test_driver::Find("EvtDeviceCleanup"), nullptr);
  EXPECT_FALSE(kmdf_host::SymbolicLinkTarget(u"\\DosDevices\\KTEST1").has_value());
}

TEST_F(DeviceAddTest, FailedCreate_LeavesNoDevice) {
  kmdf_host::InjectFault("WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES);
  kmdf_host::DeviceNode node = 0;
  EXPECT_EQ(kmdf_host::AddDevice({}, &node), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(test_driver::Find("EvtDeviceCleanup"), nullptr);
  EXPECT_TRUE(kmdf_host::Devices().empty());
}

TEST_F(DeviceAddTest, SecondDevice_GetsItsOwnNameAndLink) {
  kmdf_host::DeviceNode a = 0, b = 0;
  ASSERT_EQ(kmdf_host::AddDevice({}, &a), STATUS_SUCCESS);
  ASSERT_EQ(kmdf_host::AddDevice({}, &b), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::DeviceName(b), u"\\Device\\kmdftest2");
  EXPECT_EQ(kmdf_host::SymbolicLinkTarget(u"\\DosDevices\\KTEST2"), std::u16string(u"\\Device\\kmdftest2"));
}

}  // namespace
}  // namespace layer_test
