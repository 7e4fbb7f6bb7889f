// Kernel and framework services: formatting, strings, registry (hardware key, device map), memory and
// the pool limit, collections, device interfaces, the serial-port count, fault injection and the clock.
#include "layer_fixture.h"

namespace layer_test {
namespace {

std::u16string Str(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / 2); }

struct PrintfCase {
  const char* name;
  USHORT maximumBytes;
  std::u16string expected;
  NTSTATUS status;
};

class PrintfTest : public testbed::KmdfTest, public ::testing::WithParamInterface<PrintfCase> {};

TEST_P(PrintfTest, DeviceNameFormat_FitsOrOverflows) {
  std::vector<WCHAR> buffer(GetParam().maximumBytes / 2 + 1, u'#');
  UNICODE_STRING s{0, GetParam().maximumBytes, buffer.data()};
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%ws%d", u"\\Device\\zelvik_diag", 12), GetParam().status);
  EXPECT_EQ(Str(s), GetParam().expected);
  EXPECT_EQ(buffer.back(), u'#');  // nothing written past MaximumLength
}

INSTANTIATE_TEST_SUITE_P(Cases, PrintfTest,
                         ::testing::Values(PrintfCase{"Roomy", 256, u"\\Device\\zelvik_diag12", STATUS_SUCCESS},
                                           PrintfCase{"ExactFit", 42, u"\\Device\\zelvik_diag12", STATUS_SUCCESS},
                                           PrintfCase{"OneShort", 40, u"\\Device\\zelvik_diag1", STATUS_BUFFER_OVERFLOW}),
                         [](const auto& info) { return std::string(info.param.name); });

class KernelTest : public testbed::KmdfTest {};

TEST_F(KernelTest, Printf_FormatsNegativeNumbersAndRejectsUnknownConversions) {
  WCHAR buffer[32];
  UNICODE_STRING s{0, sizeof(buffer), buffer};
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%d/%u/%x", -5, 7u, 255u), STATUS_SUCCESS);
  EXPECT_EQ(Str(s), u"-5/7/ff");
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%q", 1), STATUS_INVALID_PARAMETER);
}

TEST_F(KernelTest, DeviceMapValue_IsWrittenWithExactLengthAndDeleted) {
  const WCHAR data[] = u"COM5";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\zelvik_diag1", REG_SZ,
                                  const_cast<WCHAR*>(data), 8),
            STATUS_SUCCESS);
  auto value = kmdf_host::DeviceMapValue(u"SERIALCOMM", u"\\Device\\zelvik_diag1");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->data.size(), 8u);
  EXPECT_EQ(value->AsString(), u"COM5");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\zelvik_diag1"), STATUS_SUCCESS);
  EXPECT_FALSE(kmdf_host::DeviceMapValue(u"SERIALCOMM", u"\\Device\\zelvik_diag1").has_value());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\zelvik_diag1"),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelTest, SystemTime_FollowsTheVirtualClock) {
  LARGE_INTEGER t0, t1;
  KeQuerySystemTime(&t0);
  EXPECT_EQ(t0.QuadPart, kmdf_host::kStartTime);
  kmdf_host::AdvanceBy(1500);
  KeQuerySystemTime(&t1);
  EXPECT_EQ(t1.QuadPart - t0.QuadPart, 1500LL * 10000);
}

TEST_F(KernelTest, Scheduler_RunsReadyWorkInOrderAndTimedWorkByDueTime) {
  auto& s = kmdf_host::CurrentScheduler();
  std::vector<int> order;
  s.PostAt(s.Now() + 20, [&] { order.push_back(3); });
  s.PostAt(s.Now() + 10, [&] { order.push_back(2); });
  s.Post([&] { order.push_back(1); });
  auto cancelled = s.PostAt(s.Now() + 15, [&] { order.push_back(99); });
  EXPECT_TRUE(s.Cancel(cancelled));
  EXPECT_FALSE(s.Cancel(cancelled));
  s.RunUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1}));
  s.AdvanceBy(1);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(KernelTest, ConfigurationRecord_SerialCountStartsAtZeroEachTest) {
  EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 0u);
  IoGetConfigurationInformation()->SerialCount++;
  EXPECT_EQ(kmdf_host::SerialCount(), 1u);
  kmdf_host::ResetSystem();
  EXPECT_EQ(kmdf_host::SerialCount(), 0u);
}

TEST_F(KernelTest, InjectedFault_FailsTheNamedCallThenClearsOnReset) {
  kmdf_host::InjectFault("RtlWriteRegistryValue", STATUS_ACCESS_DENIED, 1, 1);
  ULONG v = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"K", u"a", REG_DWORD, &v, 4), STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"K", u"a", REG_DWORD, &v, 4), STATUS_ACCESS_DENIED);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"K", u"a", REG_DWORD, &v, 4), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::CallCount("RtlWriteRegistryValue"), 3);
  kmdf_host::InjectFault("RtlWriteRegistryValue", STATUS_ACCESS_DENIED);
  kmdf_host::ResetSystem();
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"K", u"a", REG_DWORD, &v, 4), STATUS_SUCCESS);
}

class DeviceServicesTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    kmdf_host::DeviceSetup setup;
    setup.hardwareKey = testbed::HardwareKey()
                            .Dword(u"UsbBulkCount", 3)
                            .String(u"PortName", u"COM5")
                            .Raw(u"Long", kmdf_host::RegistryValue::String(std::u16string(127, u'x')))
                            .Raw(u"TooLong", kmdf_host::RegistryValue::String(std::u16string(128, u'x')));
    ASSERT_EQ(kmdf_host::AddDevice(setup, &node_), STATUS_SUCCESS);
    ctx_ = test_driver::LastDevice();
    ASSERT_EQ(WdfDeviceOpenRegistryKey(ctx_->Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key_),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    if (key_ != nullptr) WdfRegistryClose(key_);
    LayerTest::TearDown();
  }
  NTSTATUS QueryString(const char16_t* name, UNICODE_STRING* out) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    return WdfRegistryQueryUnicodeString(key_, &valueName, nullptr, out);
  }
  WDFKEY key_ = nullptr;
};

TEST_F(DeviceServicesTest, QueryULong_ReadsPresentValuesAndFailsAbsentOnes) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"UsbBulkCount");
  ULONG value = 0;
  EXPECT_EQ(WdfRegistryQueryULong(key_, &name, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u);
  RtlInitUnicodeString(&name, u"usbbulkcount");
  EXPECT_EQ(WdfRegistryQueryULong(key_, &name, &value), STATUS_SUCCESS);
  RtlInitUnicodeString(&name, u"RxFifoSize");
  value = 77;
  EXPECT_EQ(WdfRegistryQueryULong(key_, &name, &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 77u);
  RtlInitUnicodeString(&name, u"PortName");
  EXPECT_EQ(WdfRegistryQueryULong(key_, &name, &value), STATUS_OBJECT_TYPE_MISMATCH);
}

TEST_F(DeviceServicesTest, QueryUnicodeString_FitsUpToTheBufferSize) {
  WCHAR buffer[128] = {};
  UNICODE_STRING s{0, sizeof(buffer), buffer};
  ASSERT_EQ(QueryString(u"PortName", &s), STATUS_SUCCESS);
  EXPECT_EQ(Str(s), u"COM5");
  EXPECT_EQ(buffer[4], u'\0');
  ASSERT_EQ(QueryString(u"Long", &s), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 254);
  EXPECT_EQ(QueryString(u"TooLong", &s), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(QueryString(u"Missing", &s), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceServicesTest, InjectedKeyFailure_IsReturnedByOpen) {
  kmdf_host::InjectFault("WdfDeviceOpenRegistryKey", STATUS_OBJECT_NAME_NOT_FOUND, 0, 1);
  WDFKEY key = nullptr;
  EXPECT_EQ(WdfDeviceOpenRegistryKey(ctx_->Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                     WDF_NO_OBJECT_ATTRIBUTES, &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
}

TEST_F(DeviceServicesTest, DeviceName_RetrievedIntoAStringEndsWithZero) {
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx_->Device;
  WDFSTRING string;
  ASSERT_EQ(WdfStringCreate(nullptr, &attributes, &string), STATUS_SUCCESS);
  ASSERT_EQ(WdfDeviceRetrieveDeviceName(ctx_->Device, string), STATUS_SUCCESS);
  UNICODE_STRING name;
  WdfStringGetUnicodeString(string, &name);
  EXPECT_EQ(Str(name), u"\\Device\\kmdftest1");
  EXPECT_EQ(name.Buffer[name.Length / 2], u'\0');
}

TEST_F(DeviceServicesTest, SymbolicLinkAndInterface_GoWithTheDevice) {
  static const GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
  EXPECT_EQ(WdfDeviceCreateDeviceInterface(ctx_->Device, &kComPort, nullptr), STATUS_SUCCESS);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\KTEST1");
  EXPECT_EQ(WdfDeviceCreateSymbolicLink(ctx_->Device, &link), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(kmdf_host::DeviceInterfaces().size(), 1u);
  EXPECT_TRUE(kmdf_host::DeviceInterfaces()[0].interfaceClass == kComPort);
  WdfRegistryClose(key_);
  key_ = nullptr;
  ASSERT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
  EXPECT_TRUE(kmdf_host::DeviceInterfaces().empty());
  EXPECT_TRUE(kmdf_host::SymbolicLinks().empty());
}

struct MemoryCase {
  const char* name;
  size_t size;
  NTSTATUS expected;
};

class MemoryTest : public LayerTest, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(MemoryTest, MemoryCreate_SizeDecidesTheOutcome) {
  ASSERT_EQ(kmdf_host::AddDevice({}, &node_), STATUS_SUCCESS);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = kmdf_host::DeviceObject(node_);
  WDFMEMORY memory = nullptr;
  PVOID buffer = nullptr;
  EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPool, 0x6B6C765A, GetParam().size, &memory, &buffer),
            GetParam().expected);
  EXPECT_EQ(memory != nullptr, NT_SUCCESS(GetParam().expected));
  if (memory != nullptr) {
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, GetParam().size);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryTest,
                         ::testing::Values(MemoryCase{"Fifo128K", 131072, STATUS_SUCCESS},
                                           MemoryCase{"Zero", 0, STATUS_INVALID_PARAMETER},
                                           MemoryCase{"WrappedHuge", 0xFFFFFC00u, STATUS_INSUFFICIENT_RESOURCES},
                                           MemoryCase{"AboveThePool", 65u * 1024 * 1024, STATUS_INSUFFICIENT_RESOURCES}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceServicesTest, Collection_KeepsOrderAndForgetsDeletedItems) {
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx_->Device;
  WDFCOLLECTION collection;
  ASSERT_EQ(WdfCollectionCreate(&attributes, &collection), STATUS_SUCCESS);
  WDFREQUEST a, b;
  ASSERT_EQ(WdfRequestCreate(&attributes, nullptr, &a), STATUS_SUCCESS);
  ASSERT_EQ(WdfRequestCreate(&attributes, nullptr, &b), STATUS_SUCCESS);
  ASSERT_EQ(WdfCollectionAdd(collection, a), STATUS_SUCCESS);
  kmdf_host::InjectFault("WdfCollectionAdd", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
  EXPECT_EQ(WdfCollectionAdd(collection, b), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(WdfCollectionAdd(collection, b), STATUS_SUCCESS);
  EXPECT_EQ(WdfCollectionGetCount(collection), 2u);
  EXPECT_EQ(WdfCollectionGetItem(collection, 1), static_cast<WDFOBJECT>(b));
  EXPECT_EQ(WdfCollectionGetItem(collection, 2), nullptr);
  WdfObjectDelete(a);
  EXPECT_EQ(WdfCollectionGetCount(collection), 1u);
  EXPECT_EQ(WdfCollectionGetItem(collection, 0), static_cast<WDFOBJECT>(b));
}

}  // namespace
}  // namespace layer_test
