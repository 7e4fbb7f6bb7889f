// Cancellation marks through queue stop and resume. A small holder driver keeps the requests it is
// given the way the port keeps its current read (marked cancelable with a routine) or a write in
// flight (no routine), and uses the port's own MarkCancelable, UnmarkCancelable, EvtIoStop,
// EvtIoResume and EvtIoCanceledOnQueue; the framework layer drives them through power-down, power-up,
// application cancellation and removal.
#include "driver_fixture.h"

#include "datapath/datapath.h"

namespace corvid_test {
namespace {

// State of the holder driver: one device at a time, touched only under its device lock.
struct Holder {
    WDFQUEUE parkQueue = NULL;
    WDFREQUEST heldRead = NULL;
    WDFREQUEST heldWrite = NULL;
    bool parkReads = false;
    int cancelRoutineRuns = 0;
};
Holder holder;

void HolderReadCancel(WDFREQUEST Request)
{
    holder.cancelRoutineRuns++;
    if (holder.heldRead == Request) {
        holder.heldRead = NULL;
    }
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

void HolderIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Length);
    if (holder.parkReads) {
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, holder.parkQueue);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
        }
        return;
    }
    PZELVIK_REQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Device = WdfIoQueueGetDevice(Queue);
    NTSTATUS status = MarkCancelable(Request, HolderReadCancel);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    holder.heldRead = Request;
}

void HolderIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Length);
    holder.heldWrite = Request;
}

// Completes whatever the holder still has, so that removal finds nothing pending.
NTSTATUS HolderReleaseHardware(WDFDEVICE Device, WDFCMRESLIST Resources)
{
    UNREFERENCED_PARAMETER(Resources);
    WdfObjectAcquireLock(Device);
    if (holder.heldRead != NULL && UnmarkCancelable(holder.heldRead) == STATUS_SUCCESS) {
        WdfRequestComplete(holder.heldRead, STATUS_CANCELLED);
    }
    holder.heldRead = NULL;
    if (holder.heldWrite != NULL) {
        WdfRequestComplete(holder.heldWrite, STATUS_CANCELLED);
        holder.heldWrite = NULL;
    }
    WdfObjectReleaseLock(Device);
    return STATUS_SUCCESS;
}

NTSTATUS HolderDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    UNREFERENCED_PARAMETER(Driver);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceReleaseHardware = HolderReleaseHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, ZELVIK_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = NULL;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = HolderIoRead;
    config.EvtIoWrite = HolderIoWrite;
    config.EvtIoStop = EvtIoStop;
    config.EvtIoResume = EvtIoResume;
    config.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.EvtIoStop = EvtIoStop;
    config.EvtIoResume = EvtIoResume;
    config.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &holder.parkQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WdfDeviceCreateSymbolicLink(device, [] {
        static UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\HOLD1");
        return &link;
    }());
}

NTSTATUS HolderDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, HolderDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

class CancelMarksTest : public testbed::KmdfTest {
protected:
    void SetUp() override
    {
        holder = Holder{};
        testbed::KmdfTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, kmdf_host::LoadDriver(HolderDriverEntry, u"holder"));
        ASSERT_EQ(STATUS_SUCCESS, kmdf_host::AddDevice({}, &node));
        ASSERT_EQ(STATUS_SUCCESS, kmdf_host::StartDevice(node));
        auto open = kmdf_host::Open(u"HOLD1", &file);
        kmdf_host::RunUntilIdle();
        ASSERT_TRUE(open->Completed());
        ASSERT_EQ(STATUS_SUCCESS, open->Status());
    }

    kmdf_host::IoPtr HoldRead()
    {
        auto read = kmdf_host::Read(file, 16);
        kmdf_host::RunUntilIdle();
        EXPECT_FALSE(read->Completed());
        EXPECT_NE(nullptr, holder.heldRead);
        return read;
    }

    PZELVIK_REQUEST_CONTEXT HeldReadContext() { return GetRequestContext(holder.heldRead); }

    DeviceNode node = 0;
    kmdf_host::FileHandle file = 0;
};

TEST_F(CancelMarksTest, MarkCancelable_RecordsRoutineAndFlag)
{
    auto read = HoldRead();
    EXPECT_EQ(REQUEST_MARKED_CANCELABLE, HeldReadContext()->Flags);
    EXPECT_EQ(&HolderReadCancel, HeldReadContext()->CancelRoutine);

    ASSERT_TRUE(kmdf_host::Cancel(read));
    kmdf_host::RunUntilIdle();
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_EQ(1, holder.cancelRoutineRuns);
}

TEST_F(CancelMarksTest, EvtIoStop_UnmarksAtSuspendAndResumeMarksAgain)
{
    auto read = HoldRead();

    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::PowerDown(node));
    // Unmarked and acknowledged: the flag is clear, the routine kept, the request still held.
    ASSERT_NE(nullptr, holder.heldRead);
    EXPECT_EQ(0u, HeldReadContext()->Flags);
    EXPECT_EQ(&HolderReadCancel, HeldReadContext()->CancelRoutine);
    EXPECT_FALSE(read->Completed());

    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::PowerUp(node));
    kmdf_host::RunUntilIdle();
    EXPECT_EQ(REQUEST_MARKED_CANCELABLE, HeldReadContext()->Flags);

    // Cancelable again: the application's cancel reaches the routine.
    ASSERT_TRUE(kmdf_host::Cancel(read));
    kmdf_host::RunUntilIdle();
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_EQ(1, holder.cancelRoutineRuns);
}

// While the queue is stopped the read is not cancelable, so a cancel then has no effect until the
// resume; the resume must not leave the read hanging without a routine.
TEST_F(CancelMarksTest, EvtIoResume_CompletesReadCancelledWhileStopped)
{
    auto read = HoldRead();
    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::PowerDown(node));
    kmdf_host::Cancel(read);
    kmdf_host::RunUntilIdle();
    EXPECT_FALSE(read->Completed());

    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::PowerUp(node));
    kmdf_host::RunUntilIdle();
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_EQ(1, holder.cancelRoutineRuns);
    EXPECT_EQ(nullptr, holder.heldRead);
}

// A held request without a routine (a write in flight) is only acknowledged, never marked.
TEST_F(CancelMarksTest, EvtIoStop_AcknowledgesRequestWithoutRoutine)
{
    const std::uint8_t data[] = {1, 2, 3};
    auto write = kmdf_host::Write(file, data);
    kmdf_host::RunUntilIdle();
    ASSERT_NE(nullptr, holder.heldWrite);

    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::PowerDown(node));
    EXPECT_EQ(0u, GetRequestContext(holder.heldWrite)->Flags);
    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::PowerUp(node));
    kmdf_host::RunUntilIdle();
    EXPECT_EQ(0u, GetRequestContext(holder.heldWrite)->Flags);
    EXPECT_EQ(nullptr, GetRequestContext(holder.heldWrite)->CancelRoutine);
    EXPECT_FALSE(write->Completed());
}

TEST_F(CancelMarksTest, UnmarkCancelable_SucceedsWithoutFrameworkCallWhenNotMarked)
{
    auto read = HoldRead();
    WDFDEVICE device = kmdf_host::DeviceObject(node);
    WdfObjectAcquireLock(device);
    EXPECT_EQ(STATUS_SUCCESS, UnmarkCancelable(holder.heldRead));
    int frameworkCalls = kmdf_host::CallCount("WdfRequestUnmarkCancelable");
    EXPECT_EQ(STATUS_SUCCESS, UnmarkCancelable(holder.heldRead));
    EXPECT_EQ(frameworkCalls, kmdf_host::CallCount("WdfRequestUnmarkCancelable"));
    WdfRequestComplete(holder.heldRead, STATUS_SUCCESS);
    holder.heldRead = NULL;
    WdfObjectReleaseLock(device);
    kmdf_host::RunUntilIdle();
    EXPECT_EQ(STATUS_SUCCESS, read->Status());
}

TEST_F(CancelMarksTest, EvtIoCanceledOnQueue_CompletesWithCancelledAndNoData)
{
    holder.parkReads = true;
    auto read = kmdf_host::Read(file, 16);
    kmdf_host::RunUntilIdle();
    ASSERT_FALSE(read->Completed());
    EXPECT_EQ(1u, kmdf_host::QueueRequestCount(holder.parkQueue));

    ASSERT_TRUE(kmdf_host::Cancel(read));
    kmdf_host::RunUntilIdle();
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_EQ(0u, read->Information());
    EXPECT_EQ(0, holder.cancelRoutineRuns);
}

// At removal the framework purges: the held read is unmarked and stays with the driver, which
// completes it when the hardware is released.
TEST_F(CancelMarksTest, EvtIoStop_UnmarksAtPurgeAndKeepsRead)
{
    auto read = HoldRead();
    ASSERT_EQ(STATUS_SUCCESS, kmdf_host::RemoveDevice(node));
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_EQ(0, holder.cancelRoutineRuns);
}

}  // namespace
}  // namespace corvid_test
