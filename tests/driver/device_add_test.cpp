// Device add and COM port publication, seen from outside: the device name, the DOS name, the
// SERIALCOMM value, the COM-port interface and the serial-port count; what a failed add leaves
// behind; and what removal takes back.
#include "driver_fixture.h"

#include <ntddser.h>

namespace corvid_test {
namespace {

const char16_t kSerialComm[] = u"SERIALCOMM";

class DeviceAddTest : public DriverTest {};

TEST_F(DeviceAddTest, AddDevice_PublishesComPortUnderPortName)
{
    DeviceNode node = 0;
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}, &node));

    EXPECT_EQ(u"\\Device\\zelvik_diag1", kmdf_host::DeviceName(node));
    auto target = kmdf_host::SymbolicLinkTarget(u"\\DosDevices\\COM5");
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(u"\\Device\\zelvik_diag1", *target);

    auto value = kmdf_host::DeviceMapValue(kSerialComm, u"\\Device\\zelvik_diag1");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ((ULONG)REG_SZ, value->type);
    // The port name's UTF-16 units without a terminating zero: 8 bytes, not 10.
    const std::vector<std::uint8_t> com5 = {'C', 0, 'O', 0, 'M', 0, '5', 0};
    EXPECT_EQ(com5, value->data);

    auto interfaces = kmdf_host::DeviceInterfaces();
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_EQ(node, interfaces[0].node);
    EXPECT_TRUE(interfaces[0].interfaceClass == GUID_DEVINTERFACE_COMPORT);
    EXPECT_TRUE(interfaces[0].referenceString.empty());

    EXPECT_EQ(1u, kmdf_host::SerialCount());
}

TEST_F(DeviceAddTest, AddDevice_NumbersDevicesInOrder)
{
    DeviceNode first = 0;
    DeviceNode second = 0;
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}, &first));
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM6")}, &second));

    EXPECT_EQ(u"\\Device\\zelvik_diag1", kmdf_host::DeviceName(first));
    EXPECT_EQ(u"\\Device\\zelvik_diag2", kmdf_host::DeviceName(second));
    EXPECT_EQ(u"\\Device\\zelvik_diag2", kmdf_host::SymbolicLinkTarget(u"\\DosDevices\\COM6").value_or(u""));
    EXPECT_EQ(2u, kmdf_host::SerialCount());
}

TEST_F(DeviceAddTest, AddDevice_NumbersStartAgainAfterDriverReload)
{
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}));
    kmdf_host::UnloadDriver();
    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::LoadDriver(DriverEntry));

    DeviceNode node = 0;
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}, &node));
    EXPECT_EQ(u"\\Device\\zelvik_diag1", kmdf_host::DeviceName(node));
}

// Every failed add must leave the system as it was: no device, no published mark, no count.
void ExpectNothingPublished()
{
    EXPECT_TRUE(kmdf_host::Devices().empty());
    EXPECT_EQ(0u, kmdf_host::SerialCount());
    EXPECT_TRUE(kmdf_host::RegistryValues(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM").empty());
    EXPECT_TRUE(kmdf_host::SymbolicLinks().empty() ||
                !kmdf_host::SymbolicLinkTarget(u"\\DosDevices\\COM5").has_value());
    EXPECT_TRUE(kmdf_host::DeviceInterfaces().empty());
}

TEST_F(DeviceAddTest, AddDevice_FailsWithoutPortNameAndLeavesGapInNumbers)
{
    EXPECT_FALSE(NT_SUCCESS(Add({})));
    ExpectNothingPublished();

    DeviceNode node = 0;
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}, &node));
    EXPECT_EQ(u"\\Device\\zelvik_diag2", kmdf_host::DeviceName(node));
}

struct PortNameCase {
    const char* name;
    RegistryValue value;
    bool added;
};

class PortNameLengthTest : public DriverTest, public ::testing::WithParamInterface<PortNameCase> {};

// "\DosDevices\" is 12 units and the link buffer holds 128, so a port name of up to 116 units works.
TEST_P(PortNameLengthTest, AddDevice_AcceptsPortNameOnlyWhenLinkFits)
{
    const PortNameCase& c = GetParam();
    NTSTATUS status = Add({{u"PortName", c.value}});
    if (c.added) {
        EXPECT_EQ(STATUS_SUCCESS, status);
        EXPECT_EQ(1u, kmdf_host::SerialCount());
        std::u16string link = u"\\DosDevices\\" + c.value.AsString();
        EXPECT_TRUE(kmdf_host::SymbolicLinkTarget(link).has_value());
    } else {
        EXPECT_FALSE(NT_SUCCESS(status));
        ExpectNothingPublished();
    }
}

std::u16string Units(size_t count)
{
    return std::u16string(count, u'P');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortNameLengthTest,
    ::testing::Values(PortNameCase{"Short", RegistryValue::String(u"COM1"), true},
                      PortNameCase{"LongestThatFits", RegistryValue::String(Units(116)), true},
                      PortNameCase{"LinkOneUnitTooLong", RegistryValue::String(Units(117)), false},
                      PortNameCase{"LinkMuchTooLong", RegistryValue::String(Units(127)), false},
                      PortNameCase{"FillsWholeBuffer", RegistryValue::String(Units(128)), false},
                      // 256 bytes of characters and no terminator: must not be read past its end.
                      PortNameCase{"FullBufferWithoutTerminator", RegistryValue::RawString(Units(128)), false},
                      PortNameCase{"LongerThanBuffer", RegistryValue::String(Units(400)), false},
                      PortNameCase{"WrongType", RegistryValue::Dword(5), false}),
    [](const ::testing::TestParamInfo<PortNameCase>& info) { return info.param.name; });

TEST_F(DeviceAddTest, RemoveDevice_WithdrawsSerialCommValueAndCount)
{
    DeviceNode first = 0;
    DeviceNode second = 0;
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}, &first));
    ASSERT_EQ(STATUS_SUCCESS, Add({PortName(u"COM6")}, &second));

    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::RemoveDevice(first));

    EXPECT_EQ(1u, kmdf_host::SerialCount());
    EXPECT_FALSE(kmdf_host::DeviceMapValue(kSerialComm, u"\\Device\\zelvik_diag1").has_value());
    EXPECT_TRUE(kmdf_host::DeviceMapValue(kSerialComm, u"\\Device\\zelvik_diag2").has_value());
    EXPECT_FALSE(kmdf_host::SymbolicLinkTarget(u"\\DosDevices\\COM5").has_value());
    EXPECT_EQ(1u, kmdf_host::DeviceInterfaces().size());
}

// One failing step of device add, named by the framework or kernel call that fails and how many
// earlier calls of it succeed first.
struct FailingStep {
    const char* name;
    const char* call;
    int skip;
};

class DeviceAddFailureTest : public DriverTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(DeviceAddFailureTest, AddDevice_ReturnsStatusOfFailingStep)
{
    const FailingStep& step = GetParam();
    const NTSTATUS injected = (NTSTATUS)0xC0000123;  // a status no step produces by itself
    kmdf_host::InjectFault(step.call, injected, step.skip, 1);

    EXPECT_EQ(injected, Add({PortName(u"COM5")}));
    ExpectNothingPublished();

    // Nothing of the failed device stands in the way of the next one under the same port name.
    kmdf_host::ClearFaults();
    EXPECT_EQ(STATUS_SUCCESS, Add({PortName(u"COM5")}));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DeviceAddFailureTest,
    ::testing::Values(FailingStep{"DeviceNameFormat", "RtlUnicodeStringPrintf", 0},
                      FailingStep{"AssignName", "WdfDeviceInitAssignName", 0},
                      FailingStep{"DeviceCreate", "WdfDeviceCreate", 0},
                      FailingStep{"WriteDpc", "WdfDpcCreate", 0},
                      FailingStep{"ReadDpc", "WdfDpcCreate", 1},
                      FailingStep{"EventDpc", "WdfDpcCreate", 2},
                      FailingStep{"PortTimer", "WdfTimerCreate", 0},
                      FailingStep{"ZlpRequest", "WdfRequestCreate", 0},
                      FailingStep{"ZlpBuffer", "WdfMemoryCreate", 0},
                      FailingStep{"PoolCollection", "WdfCollectionCreate", 0},
                      FailingStep{"FirstPoolRequest", "WdfRequestCreate", 1},
                      FailingStep{"FirstPoolBuffer", "WdfMemoryCreate", 1},
                      FailingStep{"FirstPoolAdd", "WdfCollectionAdd", 0},
                      FailingStep{"ReadQueue", "WdfIoQueueCreate", 0},
                      FailingStep{"WriteQueue", "WdfIoQueueCreate", 1},
                      FailingStep{"WaitMaskQueue", "WdfIoQueueCreate", 2},
                      FailingStep{"DefaultQueue", "WdfIoQueueCreate", 3},
                      FailingStep{"FifoStorage", "WdfMemoryCreate", 7},
                      FailingStep{"NameString", "WdfStringCreate", 0},
                      FailingStep{"RetrieveName", "WdfDeviceRetrieveDeviceName", 0},
                      FailingStep{"OpenKeyForPortName", "WdfDeviceOpenRegistryKey", 1},
                      FailingStep{"QueryPortName", "WdfRegistryQueryUnicodeString", 0},
                      FailingStep{"LinkNameFormat", "RtlUnicodeStringPrintf", 1},
                      FailingStep{"SymbolicLink", "WdfDeviceCreateSymbolicLink", 0},
                      FailingStep{"SerialCommValue", "RtlWriteRegistryValue", 0},
                      // The map value was written already: the clean-up must take it back.
                      FailingStep{"ComPortInterface", "WdfDeviceCreateDeviceInterface", 0}),
    [](const ::testing::TestParamInfo<FailingStep>& info) { return info.param.name; });

TEST_F(DeviceAddTest, AddDevice_UsesDefaultsWhenConfigurationKeyCannotBeOpened)
{
    // Only the configuration read fails to open the key; the port name is read with a second open.
    kmdf_host::InjectFault("WdfDeviceOpenRegistryKey", STATUS_ACCESS_DENIED, 0, 1);
    PZELVIK_DEVICE_CONTEXT context = AddPort({Dword(u"UsbBulkCount", 2)});
    ASSERT_NE(nullptr, context);
    EXPECT_EQ(6u, context->UsbBulkCount);
    EXPECT_EQ(1u, kmdf_host::SerialCount());
}

}  // namespace
}  // namespace corvid_test
