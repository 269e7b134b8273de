// Client operations as IRPs through the driver's hooks, and the SRBs the class makes of them:
// creates and closes, states, formats, master clock, device and stream properties, data
// intersection, device control by transfer method; completions from any thread; two clients
// in the driver at once.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/streamclass/fixture.h"

namespace nimbra::host {
namespace {

using testdriver::Driver;

TEST_F(StreamClassTest, EveryClientOperationArrivesThroughTheHooksAsItsSrb)
{
    ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    const KSDATAFORMAT& published = *host.StreamInfo(0).StreamFormatsArray[0];
    ASSERT_EQ(OpenPin(filter, 0, published, &pin), STATUS_SUCCESS);
    testdriver::SrbSeen open = LastSrb();
    EXPECT_EQ(open.command, SRB_OPEN_STREAM);
    EXPECT_FALSE(open.stream);
    ASSERT_NE(open.streamObject, nullptr);
    EXPECT_EQ(open.streamObject, pin.FileObject()->FsContext2);
    EXPECT_EQ(open.streamObject->StreamNumber, 0u);
    EXPECT_EQ(open.streamObject->HwDeviceExtension, host.HwDeviceExtension());
    EXPECT_TRUE(Driver().streamExtensionZeroed);
    EXPECT_EQ(open.format.SampleSize, 1000u);
    EXPECT_EQ(open.numberOfBytesToTransfer, sizeof(KSDATAFORMAT));
    EXPECT_NE(open.irp, nullptr);

    struct Step {
        const char* name;
        std::function<NTSTATUS()> run;
        LONG command;
        std::function<void(const testdriver::SrbSeen&)> check;
    };
    KSDATAFORMAT otherFormat = published;
    otherFormat.SampleSize = 500;
    HANDLE clock = CreateMasterClock();
    LONG deviceValue[2] = {42, 0};
    KSSTATE state = KSSTATE_STOP;
    KSALLOCATOR_FRAMING framing{};
    ULONG returned = 0;
    const Step steps[] = {
        {"set state", [&] { return SetState(pin, KSSTATE_RUN); }, SRB_SET_STREAM_STATE,
         [](const testdriver::SrbSeen& s) { EXPECT_EQ(s.commandData.StreamState, KSSTATE_RUN); }},
        {"get state", [&] { return GetState(pin, &state); }, SRB_GET_STREAM_STATE,
         [&](const testdriver::SrbSeen&) { EXPECT_EQ(state, KSSTATE_RUN); }},
        {"set format", [&] { return SetDataFormat(pin, otherFormat); }, SRB_SET_DATA_FORMAT,
         [](const testdriver::SrbSeen& s) { EXPECT_EQ(s.format.SampleSize, 500u); }},
        {"propose format", [&] { return ProposeDataFormat(pin, otherFormat); }, SRB_PROPOSE_DATA_FORMAT,
         [](const testdriver::SrbSeen& s) { EXPECT_EQ(s.format.SampleSize, 500u); }},
        {"open clock", [&] { return SetMasterClock(pin, clock); }, SRB_OPEN_MASTER_CLOCK,
         [&](const testdriver::SrbSeen& s) { EXPECT_EQ(s.commandData.MasterClockHandle, clock); }},
        {"close clock", [&] { return SetMasterClock(pin, nullptr); }, SRB_CLOSE_MASTER_CLOCK,
         [&](const testdriver::SrbSeen& s) { EXPECT_EQ(s.commandData.MasterClockHandle, clock); }},
        {"set device property",
         [&] { return SetProperty(filter, testdriver::kDevicePropertySet, 0, deviceValue, sizeof(deviceValue)); },
         SRB_SET_DEVICE_PROPERTY,
         [](const testdriver::SrbSeen& s) {
             EXPECT_EQ(s.propertyDescriptor.PropertySetID, 0u);
             EXPECT_EQ(s.property.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
         }},
        {"get device property",
         [&] {
             std::memset(deviceValue, 0, sizeof(deviceValue));
             return GetProperty(filter, testdriver::kDevicePropertySet, 0, deviceValue, sizeof(deviceValue), &returned);
         },
         SRB_GET_DEVICE_PROPERTY,
         [&](const testdriver::SrbSeen& s) {
             EXPECT_TRUE(IsEqualGUID(s.property.Set, testdriver::kDevicePropertySet));
             EXPECT_EQ(s.propertyDescriptor.PropertyInfo, deviceValue);
             EXPECT_EQ(s.propertyDescriptor.PropertyOutputSize, sizeof(deviceValue));
             EXPECT_EQ(s.propertyDescriptor.PropertyInputSize, sizeof(KSPROPERTY));
             EXPECT_EQ(deviceValue[0], 42);
             EXPECT_EQ(returned, sizeof(deviceValue));
         }},
        {"get a property whose request is its record",
         [&] {
             KSPROPERTY_VIDEOPROCAMP_S record{};
             return GetProperty(filter, testdriver::kDevicePropertySet, 2, &record, sizeof(record));
         },
         SRB_GET_DEVICE_PROPERTY,
         [](const testdriver::SrbSeen& s) {
             EXPECT_EQ(s.property.Id, 2u);
             EXPECT_EQ(s.propertyDescriptor.PropertyInputSize, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
         }},
        {"get stream property",
         [&] {
             return GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, &framing,
                                sizeof(framing), &returned);
         },
         SRB_GET_STREAM_PROPERTY,
         [&](const testdriver::SrbSeen& s) {
             EXPECT_EQ(s.property.Id, static_cast<ULONG>(KSPROPERTY_CONNECTION_ALLOCATORFRAMING));
             EXPECT_EQ(framing.Frames, 3u);
             EXPECT_EQ(returned, sizeof(framing));
         }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        size_t irpsBefore = Driver().irps.size();
        EXPECT_EQ(step.run(), STATUS_SUCCESS);
        ASSERT_EQ(Driver().irps.size(), irpsBefore + 1);
        const testdriver::IrpSeen& irp = Driver().irps.back();
        EXPECT_EQ(irp.major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(irp.code, static_cast<ULONG>(IOCTL_KS_PROPERTY));
        testdriver::SrbSeen seen = LastSrb();
        EXPECT_EQ(seen.command, step.command);
        bool onPin = irp.file == pin.FileObject();
        EXPECT_EQ(seen.stream, onPin);
        EXPECT_FALSE(seen.dataPath);
        EXPECT_EQ(seen.streamObject, onPin ? pin.FileObject()->FsContext2 : nullptr);
        EXPECT_TRUE(seen.extensionZeroed);
        step.check(seen);
    }
    DestroyMasterClock(clock);

    // The class keeps the format last set and answers it itself.
    KSDATAFORMAT current{};
    EXPECT_EQ(GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &current, sizeof(current)),
              STATUS_SUCCESS);
    EXPECT_EQ(current.SampleSize, 500u);

    EXPECT_EQ(Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(LastSrb().command, SRB_CLOSE_STREAM);
    size_t srbs = Driver().srbs.size();
    EXPECT_EQ(Close(filter), STATUS_SUCCESS);
    EXPECT_EQ(Driver().srbs.size(), srbs);  // a filter close sends nothing
    const auto& irps = Driver().irps;
    ASSERT_GE(irps.size(), 2u);
    EXPECT_EQ(irps[irps.size() - 2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(irps.back().major, IRP_MJ_CLOSE);
}

TEST_F(StreamClassTest, PropertiesTheClassCannotRouteAreRefusedWithoutAnSrb)
{
    OpenFilterAndPin();
    const GUID unknownSet = {0xdeadbeef, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    struct Case {
        const char* name;
        bool onPin;
        GUID set;
        ULONG id;
        ULONG flags;
        ULONG propertyLength;
        ULONG dataLength;
        NTSTATUS expected;
    };
    const GUID& device = testdriver::kDevicePropertySet;
    const Case cases[] = {
        {"unknown set", false, unknownSet, 0, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 8, STATUS_NOT_FOUND},
        {"unknown id", false, device, 5, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 8, STATUS_NOT_FOUND},
        {"set of a get-only item", false, device, 1, KSPROPERTY_TYPE_SET, sizeof(KSPROPERTY), 8, STATUS_NOT_FOUND},
        {"neither get nor set", false, device, 0, 0, sizeof(KSPROPERTY), 8, STATUS_NOT_FOUND},
        {"basic support", false, device, 0, KSPROPERTY_TYPE_BASICSUPPORT, sizeof(KSPROPERTY), 8, STATUS_NOT_FOUND},
        {"data below MinData", false, device, 0, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 7, STATUS_BUFFER_TOO_SMALL},
        {"short request", false, device, 0, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY) - 1, 8, STATUS_INVALID_PARAMETER},
        {"request below MinProperty", false, device, 2, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 40,
         STATUS_INVALID_PARAMETER},
        {"device set on the pin", true, device, 0, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 8, STATUS_NOT_FOUND},
        {"stream set on the filter", false, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
         KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 24, STATUS_NOT_FOUND},
        {"set of get-only framing", true, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
         KSPROPERTY_TYPE_SET, sizeof(KSPROPERTY), 24, STATUS_NOT_FOUND},
        {"state with a short buffer", true, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET,
         sizeof(KSPROPERTY), 3, STATUS_BUFFER_TOO_SMALL},
        {"unknown pin property", true, KSPROPSETID_Stream, 99, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 8,
         STATUS_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UCHAR request[sizeof(KSPROPERTY_VIDEOPROCAMP_S)] = {};
        KSPROPERTY property{};
        property.Set = c.set;
        property.Id = c.id;
        property.Flags = c.flags;
        std::memcpy(request, &property, sizeof(property));
        UCHAR data[64] = {};
        size_t srbsBefore = Driver().srbs.size();
        EXPECT_EQ(PropertyRequest(c.onPin ? pin : filter, request, c.propertyLength, data, c.dataLength), c.expected);
        EXPECT_EQ(Driver().srbs.size(), srbsBefore);
    }
    ULONG pinTypes = 0;
    EXPECT_EQ(GetProperty(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pinTypes, sizeof(pinTypes)), STATUS_SUCCESS);
    EXPECT_EQ(pinTypes, 1u);
    HANDLE notAClock = &pinTypes;
    EXPECT_EQ(SetMasterClock(pin, notAClock), STATUS_INVALID_PARAMETER);
}

TEST_F(StreamClassTest, IntersectionSendsOneSrbPerRangeUntilOneAnswers)
{
    ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    KSDATARANGE match = *host.StreamInfo(0).StreamFormatsArray[0];
    KSDATARANGE other = match;
    other.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    other.SubFormat.Data1 ^= 1;
    struct Case {
        const char* name;
        ULONG pinId;
        std::vector<const KSDATARANGE*> ranges;
        ULONG bufferSize;
        NTSTATUS expected;
        size_t srbs;
        ULONG returned;
    };
    const Case cases[] = {
        {"first range matches", 0, {&match, &other}, 64, STATUS_SUCCESS, 1, 64},
        {"second range matches", 0, {&other, &match}, 64, STATUS_SUCCESS, 2, 64},
        {"no range matches", 0, {&other, &other, &other}, 64, STATUS_NO_MATCH, 3, 0},
        {"buffer too small", 0, {&match}, 63, STATUS_BUFFER_TOO_SMALL, 1, 0},
        {"the driver's answer for another pin", 1, {&match}, 64, STATUS_NOT_IMPLEMENTED, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t srbsBefore = Driver().srbs.size();
        std::vector<uint8_t> format;
        ULONG returned = 99;
        EXPECT_EQ(Intersect(filter, c.pinId, c.ranges, &format, c.bufferSize, &returned), c.expected);
        EXPECT_EQ(returned, c.returned);
        ASSERT_EQ(Driver().srbs.size(), srbsBefore + c.srbs);
        testdriver::SrbSeen last = LastSrb();
        EXPECT_EQ(last.command, SRB_GET_DATA_INTERSECTION);
        EXPECT_EQ(last.intersect.StreamNumber, c.pinId);
        EXPECT_EQ(last.intersect.SizeOfDataFormatBuffer, c.bufferSize);
        if (c.expected == STATUS_SUCCESS) {
            ASSERT_EQ(format.size(), sizeof(KSDATAFORMAT));
            EXPECT_EQ(std::memcmp(format.data(), &match, sizeof(KSDATAFORMAT)), 0);
        }
    }
}

TEST_F(StreamClassTest, PinDataRangesComeFromTheStreamInformation)
{
    ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG size = 0;
    EXPECT_EQ(PropertyRequest(filter, &request, sizeof(request), nullptr, 0, &size), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(size, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE));
    std::vector<AlignedWord> buffer(size / sizeof(AlignedWord) + 1);
    EXPECT_EQ(PropertyRequest(filter, &request, sizeof(request), buffer.data(), size), STATUS_SUCCESS);
    auto items = reinterpret_cast<const KSMULTIPLE_ITEM*>(buffer.data());
    EXPECT_EQ(items->Count, 1u);
    EXPECT_EQ(reinterpret_cast<const KSDATARANGE*>(items + 1)->SampleSize, 1000u);
}

TEST_F(StreamClassTest, DeviceControlIsBuiltForEachTransferMethod)
{
    ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    const char input[] = "abcd";
    for (ULONG method : {METHOD_BUFFERED, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        SCOPED_TRACE(method);
        char output[8] = {};
        ULONG returned = 0;
        EXPECT_EQ(DeviceControl(filter, testdriver::PrivateCode(method), input, 4, output, sizeof(output), &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(returned, 4u);
        EXPECT_STREQ(output, "dcba");
        EXPECT_EQ(Driver().irps.back().code, testdriver::PrivateCode(method));
    }
    // An error status copies nothing back.
    char small[2] = {'x', 'y'};
    EXPECT_EQ(DeviceControl(filter, testdriver::PrivateCode(METHOD_BUFFERED), input, 4, small, 2),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small[0], 'x');
    // Codes the class does not know, and a read on the filter.
    EXPECT_EQ(DeviceControl(filter, CTL_CODE(FILE_DEVICE_KS, 0x7FF, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr, 0,
                            nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    KSSTREAM_HEADER header{};
    EXPECT_EQ(DeviceControl(filter, IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST_F(StreamClassTest, RequestsCompleteFromAnyThreadAndLevel)
{
    OpenFilterAndPin();
    ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    for (auto how : {testdriver::Completion::OtherThread, testdriver::Completion::OtherThreadAtDispatch,
                     testdriver::Completion::Inline}) {
        SCOPED_TRACE(static_cast<int>(how));
        Driver().completion = how;
        KSSTATE state = KSSTATE_STOP;
        // A warning status still carries the state back.
        EXPECT_EQ(GetState(pin, &state), STATUS_NO_DATA_DETECTED);
        EXPECT_EQ(state, KSSTATE_PAUSE);
        LONG value[2] = {};
        EXPECT_EQ(GetProperty(filter, testdriver::kDevicePropertySet, 1, value, sizeof(value)), STATUS_SUCCESS);
        EXPECT_EQ(value[1], 1);
        std::vector<uint8_t> format;
        EXPECT_EQ(Intersect(filter, 0, *host.StreamInfo(0).StreamFormatsArray[0], &format, 64), STATUS_SUCCESS);
    }
    EXPECT_EQ(host.PendingSrbCount(), 0u);
}

TEST_F(StreamClassTest, TwoClientsAreInTheDriverAtOnce)
{
    ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
    Driver().gateTarget = 2;  // each get waits inside the driver until the other has arrived
    NTSTATUS statuses[2] = {STATUS_PENDING, STATUS_PENDING};
    auto client = [this](NTSTATUS* status) {
        LONG value[2];
        *status = GetProperty(filter, testdriver::kDevicePropertySet, 0, value, sizeof(value));
    };
    std::thread first(client, &statuses[0]);
    std::thread second(client, &statuses[1]);
    first.join();
    second.join();
    EXPECT_EQ(statuses[0], STATUS_SUCCESS);
    EXPECT_EQ(statuses[1], STATUS_SUCCESS);
    EXPECT_EQ(Driver().gateInside, 2);
}

TEST_F(StreamClassTest, MasterClockGivesStreamTimeFromTheHostClock)
{
    OpenFilterAndPin();
    SetClockRate(1000);
    HANDLE clock = CreateMasterClock();
    ASSERT_EQ(SetMasterClock(pin, clock), STATUS_SUCCESS);
    ASSERT_EQ(Driver().masterClock, clock);
    HANDLE current = nullptr;
    EXPECT_EQ(GetProperty(pin, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &current, sizeof(current)),
              STATUS_SUCCESS);
    EXPECT_EQ(current, clock);

    HW_TIME_CONTEXT first{host.HwDeviceExtension(), nullptr, TIME_GET_STREAM_TIME, 0, 0};
    LONGLONG before = HostTimeNow();
    StreamClassQueryMasterClockSync(Driver().masterClock, &first);
    LONGLONG after = HostTimeNow();
    EXPECT_GE(static_cast<LONGLONG>(first.SystemTime), before);
    EXPECT_LE(static_cast<LONGLONG>(first.SystemTime), after);
    LARGE_INTEGER oneSecond;
    oneSecond.QuadPart = -10'000'000;
    KeDelayExecutionThread(KernelMode, FALSE, &oneSecond);
    HW_TIME_CONTEXT second = first;
    StreamClassQueryMasterClockSync(clock, &second);
    EXPECT_GE(second.Time - first.Time, 10'000'000u);
    EXPECT_EQ(second.SystemTime - first.SystemTime, second.Time - first.Time);
    EXPECT_GE(MasterClockTime(clock), static_cast<LONGLONG>(second.Time));

    ASSERT_EQ(SetMasterClock(pin, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Driver().masterClock, nullptr);
    DestroyMasterClock(clock);
    EXPECT_EQ(MasterClockTime(clock), 0);
}

}  // namespace
}  // namespace nimbra::host
