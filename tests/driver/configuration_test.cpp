// Configuration values read from the hardware key at device add: defaults, how each value is taken,
// the choice of control-request operations, and bad values.
#include "driver_fixture.h"

#include <functional>

#include "control/control.h"
#include "datapath/datapath.h"

namespace corvid_test {
namespace {

class ConfigurationTest : public DriverTest {};

TEST_F(ConfigurationTest, ReadDeviceConfiguration_DefaultsWithoutValues)
{
    PZELVIK_DEVICE_CONTEXT context = AddPort();
    ASSERT_NE(nullptr, context);

    EXPECT_EQ(5u, context->VendorRequestTimeoutValue);
    EXPECT_FALSE(context->VeltrixVendorRequest);
    EXPECT_FALSE(context->CdcControlLineState);
    EXPECT_FALSE(context->UseContinuousRead);
    EXPECT_TRUE(context->UsbEnableZLP);
    EXPECT_EQ(131072u, context->RxFifoSizeBytes);
    EXPECT_EQ(6u, context->UsbBulkCount);
    EXPECT_EQ(4096u, context->UsbBulkInLength);
    // No operation set: no control request is ever sent.
    EXPECT_EQ(nullptr, context->SendAttachControl);
    EXPECT_EQ(nullptr, context->SendOpenControl);
    EXPECT_EQ(nullptr, context->SendCloseControl);

    // The FIFO and the request pool follow the defaults.
    EXPECT_EQ(131072u, context->RxFifoLength);
    EXPECT_EQ(131072u, FifoSize(&context->RxFifo));
    EXPECT_TRUE(FifoIsEmpty(&context->RxFifo));
    EXPECT_EQ(6u, WdfCollectionGetCount(context->BulkInRequests));
    for (ULONG i = 0; i < 6; i++) {
        WDFREQUEST request = (WDFREQUEST)WdfCollectionGetItem(context->BulkInRequests, i);
        PZELVIK_BULK_REQUEST_CONTEXT bulk = GetBulkRequestContext(request);
        EXPECT_EQ(context->Device, bulk->Device);
        EXPECT_EQ(0, bulk->InFlight);
        size_t length = 0;
        (void)WdfMemoryGetBuffer(bulk->Buffer, &length);
        EXPECT_EQ(4096u, length);
    }
    ASSERT_NE(nullptr, context->ZlpRequest);
    EXPECT_EQ(context->Device, GetBulkRequestContext(context->ZlpRequest)->Device);
}

struct ValueCase {
    const char* name;
    std::vector<NamedRegistryValue> values;
    std::function<void(PZELVIK_DEVICE_CONTEXT)> check;
};

class ConfigurationValueTest : public DriverTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ConfigurationValueTest, ReadDeviceConfiguration_TakesValue)
{
    PZELVIK_DEVICE_CONTEXT context = AddPort(GetParam().values);
    ASSERT_NE(nullptr, context);
    GetParam().check(context);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ConfigurationValueTest,
    ::testing::Values(
        ValueCase{"TimeoutAsRead", {Dword(u"VendorRequestTimeoutValue", 0)},
                  [](PZELVIK_DEVICE_CONTEXT c) { EXPECT_EQ(0u, c->VendorRequestTimeoutValue); }},
        ValueCase{"AnyNonZeroIsTrue",
                  {Dword(u"UseContinuousRead", 2), Dword(u"CdcControlLineState", 0x80000000)},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_TRUE(c->UseContinuousRead);
                      EXPECT_TRUE(c->CdcControlLineState);
                  }},
        ValueCase{"ZlpCanBeTurnedOff", {Dword(u"UsbEnableZLP", 0)},
                  [](PZELVIK_DEVICE_CONTEXT c) { EXPECT_FALSE(c->UsbEnableZLP); }},
        ValueCase{"FifoSizeInKiB", {Dword(u"RxFifoSize", 1)},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_EQ(1024u, c->RxFifoSizeBytes);
                      EXPECT_EQ(1024u, FifoSize(&c->RxFifo));
                  }},
        ValueCase{"PoolCount", {Dword(u"UsbBulkCount", 2)},
                  [](PZELVIK_DEVICE_CONTEXT c) { EXPECT_EQ(2u, WdfCollectionGetCount(c->BulkInRequests)); }},
        ValueCase{"EmptyPool", {Dword(u"UsbBulkCount", 0)},
                  [](PZELVIK_DEVICE_CONTEXT c) { EXPECT_EQ(0u, WdfCollectionGetCount(c->BulkInRequests)); }},
        // An absurd count is capped rather than draining the pool of memory.
        ValueCase{"AbsurdPoolCountIsCapped", {Dword(u"UsbBulkCount", 0xFFFFFFFF)},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_EQ(256u, c->UsbBulkCount);
                      EXPECT_EQ(256u, WdfCollectionGetCount(c->BulkInRequests));
                  }},
        ValueCase{"BulkInLengthHasNoEffect", {Dword(u"UsbBulkInLength", 64)},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_EQ(64u, c->UsbBulkInLength);
                      WDFREQUEST request = (WDFREQUEST)WdfCollectionGetItem(c->BulkInRequests, 0);
                      size_t length = 0;
                      (void)WdfMemoryGetBuffer(GetBulkRequestContext(request)->Buffer, &length);
                      EXPECT_EQ(4096u, length);
                  }},
        // A value of the wrong registry type is not read: the default stands.
        ValueCase{"WrongTypeKeepsDefault",
                  {{u"RxFifoSize", RegistryValue::String(u"64")}, {u"UsbEnableZLP", RegistryValue::String(u"0")}},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_EQ(131072u, c->RxFifoSizeBytes);
                      EXPECT_TRUE(c->UsbEnableZLP);
                  }},
        ValueCase{"VendorEncodingWinsOverCdc",
                  {Dword(u"VeltrixVendorRequest", 1), Dword(u"CdcControlLineState", 1)},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_EQ(&SendVendorAttachRequest, c->SendAttachControl);
                      EXPECT_EQ(&SendVendorOpenRequest, c->SendOpenControl);
                      EXPECT_EQ(&SendVendorCloseRequest, c->SendCloseControl);
                  }},
        ValueCase{"CdcEncoding", {Dword(u"CdcControlLineState", 1)},
                  [](PZELVIK_DEVICE_CONTEXT c) {
                      EXPECT_EQ(&SendNoAttachRequest, c->SendAttachControl);
                      EXPECT_EQ(&SendCdcLineStateOn, c->SendOpenControl);
                      EXPECT_EQ(&SendCdcLineStateOff, c->SendCloseControl);
                      EXPECT_EQ(STATUS_SUCCESS, RunControlOperation(c->SendAttachControl, c));
                  }}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

TEST_F(ConfigurationTest, RunControlOperation_EmptySlotSucceeds)
{
    PZELVIK_DEVICE_CONTEXT context = AddPort();
    ASSERT_NE(nullptr, context);
    EXPECT_EQ(STATUS_SUCCESS, RunControlOperation(context->SendOpenControl, context));
}

struct BadFifoSizeCase {
    const char* name;
    ULONG kibiBytes;
};

class BadFifoSizeTest : public DriverTest, public ::testing::WithParamInterface<BadFifoSizeCase> {};

// A FIFO size that cannot be allocated fails the add with a status and leaves nothing behind.
TEST_P(BadFifoSizeTest, AddDevice_FailsForUnusableFifoSize)
{
    NTSTATUS status = Add({PortName(u"COM5"), Dword(u"RxFifoSize", GetParam().kibiBytes)});
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_TRUE(kmdf_host::Devices().empty());
    EXPECT_EQ(0u, kmdf_host::SerialCount());
}

INSTANTIATE_TEST_SUITE_P(Sizes, BadFifoSizeTest,
                         ::testing::Values(BadFifoSizeCase{"Zero", 0},
                                           BadFifoSizeCase{"LargerThanPool", 1u << 20},  // 1 GiB
                                           // 4 GiB would wrap to 0 bytes in 32 bits.
                                           BadFifoSizeCase{"WrapsToZero", 1u << 22},
                                           // would wrap to 1 KiB in 32 bits.
                                           BadFifoSizeCase{"WrapsToSmall", (1u << 22) + 1},
                                           BadFifoSizeCase{"Largest", 0xFFFFFFFF}),
                         [](const ::testing::TestParamInfo<BadFifoSizeCase>& info) { return info.param.name; });

// A pool that cannot be built fully stays as far as it got, and the device works with it.
struct PartialPoolCase {
    const char* name;
    const char* call;
    int skip;
    ULONG expected;
};

class PartialPoolTest : public DriverTest, public ::testing::WithParamInterface<PartialPoolCase> {};

TEST_P(PartialPoolTest, BuildBulkInPool_KeepsPartlyBuiltPool)
{
    const PartialPoolCase& c = GetParam();
    std::size_t objectsBefore = kmdf_host::LiveObjectCount();
    kmdf_host::InjectFault(c.call, STATUS_INSUFFICIENT_RESOURCES, c.skip, 1);

    PZELVIK_DEVICE_CONTEXT context = AddPort();
    ASSERT_NE(nullptr, context);
    EXPECT_EQ(c.expected, WdfCollectionGetCount(context->BulkInRequests));

    // The failed request and its buffer were deleted, not left as orphans of the device: compare with
    // a device whose pool is that size from the start.
    std::size_t partial = kmdf_host::LiveObjectCount() - objectsBefore;
    kmdf_host::ClearFaults();
    std::size_t objectsMiddle = kmdf_host::LiveObjectCount();
    ASSERT_NE(nullptr, AddPort({Dword(u"UsbBulkCount", c.expected)}, u"COM6"));
    EXPECT_EQ(kmdf_host::LiveObjectCount() - objectsMiddle, partial);
}

INSTANTIATE_TEST_SUITE_P(Cases, PartialPoolTest,
                         ::testing::Values(PartialPoolCase{"ThirdAddFails", "WdfCollectionAdd", 2, 2},
                                           PartialPoolCase{"FourthBufferFails", "WdfMemoryCreate", 4, 3},
                                           PartialPoolCase{"SixthRequestFails", "WdfRequestCreate", 6, 5}),
                         [](const ::testing::TestParamInfo<PartialPoolCase>& info) { return info.param.name; });

}  // namespace
}  // namespace corvid_test
