// The fixture of the stream class tests: the test minidriver loaded and its device started,
// and (for most tests) the filter and the pin open.
#pragma once

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/ks_client.h"
#include "tests/streamclass/test_minidriver.h"

namespace nimbra::host {

class StreamClassTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testdriver::Reset();
        ASSERT_EQ(host.LoadDriver(testdriver::DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(host.StartDevice(&physicalDevice), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (pin.IsOpen()) Close(pin);
        if (filter.IsOpen()) Close(filter);
        testdriver::Driver().completion = testdriver::Completion::Inline;
        host.StopDevice();
        host.UnloadDriver();
        testdriver::Reset();
        SetClockRate(1);
    }

    // Opens the filter and pin 0 in the published range's format.
    void OpenFilterAndPin()
    {
        ASSERT_EQ(OpenFilter(host, &filter), STATUS_SUCCESS);
        ASSERT_EQ(OpenPin(filter, 0, *host.StreamInfo(0).StreamFormatsArray[0], &pin), STATUS_SUCCESS);
    }

    // The last SRB the minidriver saw.
    testdriver::SrbSeen LastSrb()
    {
        std::lock_guard guard(testdriver::Driver().lock);
        return testdriver::Driver().srbs.back();
    }

    DEVICE_OBJECT physicalDevice{};
    StreamClassHost host;
    KsHandle filter;
    KsHandle pin;
};

}  // namespace nimbra::host
