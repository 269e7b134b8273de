// Device life as Windows drives it, registration, raw SRBs, and the verifier's failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/streamclass/fixture.h"

namespace nimbra::host {
namespace {

using testdriver::Driver;

TEST(StreamClassDeviceLife, RunsTheDeviceThroughItsLifeInOrder)
{
    testdriver::Reset();
    DEVICE_OBJECT physicalDevice{};
    physicalDevice.StackSize = 2;
    StreamClassHost host;
    ASSERT_EQ(host.LoadDriver(testdriver::DriverEntry), STATUS_SUCCESS);
    ASSERT_TRUE(host.DriverRegistered());
    EXPECT_EQ(host.Registration().PerRequestExtensionSize, testdriver::kPerRequestExtensionSize);
    // The driver saved the class routines and put its hooks in front of them.
    ASSERT_NE(Driver().classCreate, nullptr);
    EXPECT_NE(host.DriverObject()->MajorFunction[IRP_MJ_CREATE], Driver().classCreate);
    EXPECT_NE(host.DriverObject()->MajorFunction[IRP_MJ_DEVICE_CONTROL], Driver().classDeviceControl);

    ASSERT_EQ(host.StartDevice(&physicalDevice), STATUS_SUCCESS);
    EXPECT_EQ(Driver().physicalDevice, &physicalDevice);
    EXPECT_TRUE(Driver().deviceExtensionZeroed);
    EXPECT_EQ(host.DeviceObject()->StackSize, 3);
    EXPECT_EQ(host.DeviceObject()->DriverObject, host.DriverObject());
    EXPECT_EQ(host.StreamHeader().NumberOfStreams, 1u);
    EXPECT_EQ(host.StreamInfo(0).StreamFormatsArray[0]->SampleSize, 1000u);

    EXPECT_EQ(host.SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(host.SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(host.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(host.StopDevice(), STATUS_SUCCESS);

    std::vector<LONG> expected = {SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,    SRB_INITIALIZATION_COMPLETE,
                                  SRB_CHANGE_POWER_STATE, SRB_CHANGE_POWER_STATE, SRB_SURPRISE_REMOVAL,
                                  SRB_UNINITIALIZE_DEVICE};
    EXPECT_EQ(testdriver::Commands(), expected);
    const std::vector<testdriver::SrbSeen>& seen = Driver().srbs;
    EXPECT_EQ(seen[1].numberOfBytesToTransfer, sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));
    EXPECT_EQ(seen[3].commandData.DeviceState, PowerDeviceD3);
    EXPECT_EQ(seen[4].commandData.DeviceState, PowerDeviceD0);
    for (const testdriver::SrbSeen& srb : seen) {
        EXPECT_FALSE(srb.stream);
        EXPECT_EQ(srb.hwDeviceExtension, host.HwDeviceExtension());
        EXPECT_TRUE(srb.extensionZeroed) << "command " << srb.command;
        EXPECT_EQ(srb.streamObject, nullptr);
    }
    host.UnloadDriver();
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST(StreamClassDeviceLife, FailedRegistrationLeavesTheDriverObjectAlone)
{
    testdriver::Reset();
    StreamClassHost host;
    host.FailNextRegistration(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host.LoadDriver(testdriver::DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host.DriverRegistered());
    EXPECT_EQ(host.DriverObject()->MajorFunction[IRP_MJ_CREATE], nullptr);
    DEVICE_OBJECT physicalDevice{};
    EXPECT_EQ(host.StartDevice(&physicalDevice), STATUS_INVALID_DEVICE_REQUEST);
    host.UnloadDriver();
}

TEST_F(StreamClassTest, RawSrbsReachTheirReceiversWithAnyCode)
{
    OpenFilterAndPin();
    struct Case {
        bool stream;
        LONG command;
        ULONG bytes;
        NTSTATUS expected;
        bool dataPath;
    };
    const Case cases[] = {
        {false, 0x10F, 0, STATUS_NOT_IMPLEMENTED, false},  // beyond the adapter codes
        {false, 0x0FF, 0, STATUS_NOT_IMPLEMENTED, false},  // below them
        {false, SRB_UNKNOWN_DEVICE_COMMAND, 0, STATUS_SUCCESS, false},
        {false, SRB_GET_STREAM_INFO, 207, STATUS_INSUFFICIENT_RESOURCES, false},  // buffer one byte short
        {true, 17, 0, STATUS_NOT_IMPLEMENTED, false},
        {true, -1, 0, STATUS_NOT_IMPLEMENTED, false},
        {true, SRB_WRITE_DATA, 0, STATUS_NOT_IMPLEMENTED, true},
        {true, SRB_GET_DATA_FORMAT, 0, STATUS_NOT_IMPLEMENTED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        SrbRequest request;
        request.command = c.command;
        request.numberOfBytesToTransfer = c.bytes;
        SrbResult result = c.stream ? host.SendStreamSrb(pin, request) : host.SendAdapterSrb(request);
        EXPECT_EQ(result.status, c.expected);
        testdriver::SrbSeen seen = LastSrb();
        EXPECT_EQ(seen.command, c.command);
        EXPECT_EQ(seen.stream, c.stream);
        EXPECT_EQ(seen.dataPath, c.dataPath);
        EXPECT_EQ(seen.numberOfBytesToTransfer, c.bytes);
        EXPECT_EQ(seen.streamObject, c.stream ? pin.FileObject()->FsContext2 : nullptr);
    }
    ULONG actual = 99;
    EXPECT_EQ(host.SendAdapterSrb(SRB_PAGING_OUT_DRIVER, nullptr, 0, &actual), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(actual, 0u);
}

TEST(StreamClassDeviceLife, InitializationCanPauseBeforeItCompletes)
{
    // Between SRB_INITIALIZE_DEVICE and SRB_INITIALIZATION_COMPLETE the class already passes
    // creates on; whether to accept them is the driver's decision.
    testdriver::Reset();
    StreamClassHost host;
    DEVICE_OBJECT physicalDevice{};
    ASSERT_EQ(host.LoadDriver(testdriver::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host.InitializeDevice(&physicalDevice), STATUS_SUCCESS);
    EXPECT_EQ(testdriver::Commands(), (std::vector<LONG>{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO}));
    {
        KsHandle filter;
        EXPECT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    }
    EXPECT_EQ(host.CompleteInitialization(), STATUS_SUCCESS);
    EXPECT_EQ(host.StopDevice(), STATUS_SUCCESS);
    host.UnloadDriver();
}

TEST_F(StreamClassTest, CreatesAreCheckedAndRefusalsReachTheClient)
{
    ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    size_t srbsBefore = Driver().srbs.size();
    KSDATAFORMAT format = *host.StreamInfo(0).StreamFormatsArray[0];
    KsHandle wrongPin;
    EXPECT_EQ(OpenPin(filter, 1, format, &wrongPin), STATUS_INVALID_PARAMETER);  // no stream 1
    KSDATAFORMAT shortFormat = format;
    shortFormat.FormatSize = sizeof(KSDATAFORMAT) - 1;
    EXPECT_EQ(OpenPin(filter, 0, shortFormat, &wrongPin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Driver().srbs.size(), srbsBefore);

    // Refusals by the driver's own hooks show as the client's status.
    Driver().hooksRefuse = true;
    KsHandle refused;
    EXPECT_EQ(OpenFilter(host, &refused), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(refused.IsOpen());
    KSSTATE state;
    EXPECT_EQ(GetState(filter, &state), STATUS_INSUFFICIENT_RESOURCES);
    std::vector<UCHAR> buffer(100);
    EXPECT_EQ(AwaitRead(*SubmitRead(filter, buffer.data(), 100), nullptr, nullptr, 0), STATUS_INSUFFICIENT_RESOURCES);
    Driver().hooksRefuse = false;
    EXPECT_EQ(Driver().srbs.size(), srbsBefore);

    ASSERT_EQ(host.SurpriseRemove(), STATUS_SUCCESS);
    KsHandle late;
    EXPECT_EQ(OpenFilter(host, &late), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(late.IsOpen());
    // The creates all went through the driver's hook.
    size_t creates = std::count_if(Driver().irps.begin(), Driver().irps.end(),
                                   [](const testdriver::IrpSeen& irp) { return irp.major == IRP_MJ_CREATE; });
    EXPECT_EQ(creates, 5u);
}

class StreamClassVerifierTest : public StreamClassTest {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        StreamClassTest::SetUp();
    }
};

TEST_F(StreamClassVerifierTest, SrbCompletedTwiceIsABugCheck)
{
    EXPECT_DEATH(
        {
            Driver().completeTwice = true;
            host.SendAdapterSrb(SRB_UNKNOWN_DEVICE_COMMAND, nullptr, 0);
        },
        "SRB completed twice");
    // A late second completion, after the read has finished.
    EXPECT_DEATH(
        {
            OpenFilterAndPin();
            std::vector<UCHAR> buffer(100);
            auto read = SubmitRead(pin, buffer.data(), 100);
            PHW_STREAM_REQUEST_BLOCK srb = Driver().held.at(0).srb;
            PHW_STREAM_OBJECT stream = srb->StreamObject;
            testdriver::CompleteHeld(srb, STATUS_SUCCESS);
            AwaitRead(*read, nullptr, nullptr, kWaitForever);
            StreamClassStreamNotification(StreamRequestComplete, stream, srb);
        },
        "SRB completed twice");
}

TEST_F(StreamClassVerifierTest, RequestsLeftBehindAreBugChecks)
{
    EXPECT_DEATH(
        {
            OpenFilterAndPin();
            Driver().closeCompletesReads = false;
            std::vector<UCHAR> buffer(100);
            auto read = SubmitRead(pin, buffer.data(), 100);
            Close(pin);
        },
        "stream closed with requests outstanding");
    EXPECT_DEATH(
        {
            OpenFilterAndPin();
            host.UnloadDriver();
        },
        "driver unloaded with handles open");
    EXPECT_DEATH(
        {
            Driver().completion = testdriver::Completion::Hold;
            std::thread sender([this] { host.SendAdapterSrb(SRB_UNKNOWN_DEVICE_COMMAND, nullptr, 0); });
            testdriver::WaitFor([](testdriver::TestDriver& d) { return !d.held.empty(); });
            host.UnloadDriver();
        },
        "driver unloaded with requests pending");
}

}  // namespace
}  // namespace nimbra::host
