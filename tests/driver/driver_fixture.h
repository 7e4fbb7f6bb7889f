// A fresh simulated machine with the corvid driver loaded, for every test. Any verifier report fails
// the test.
#pragma once

#include <gtest/gtest.h>

#include <kmdf_host/host.h>
#include <testbed/kmdf_test.h>

#include <string>
#include <vector>

#include "datapath/device_context.h"
#include "lifecycle/lifecycle.h"

namespace corvid_test {

using kmdf_host::DeviceNode;
using kmdf_host::NamedRegistryValue;
using kmdf_host::RegistryValue;

inline NamedRegistryValue PortName(std::u16string_view name)
{
    return {u"PortName", RegistryValue::String(name)};
}

inline NamedRegistryValue Dword(std::u16string_view name, ULONG value)
{
    return {std::u16string(name), RegistryValue::Dword(value)};
}

class DriverTest : public testbed::KmdfTest {
protected:
    void SetUp() override
    {
        testbed::KmdfTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, kmdf_host::LoadDriver(DriverEntry));
    }

    // Adds a device whose hardware key holds `values`.
    NTSTATUS Add(std::vector<NamedRegistryValue> values, DeviceNode* node = nullptr)
    {
        kmdf_host::DeviceSetup setup;
        setup.hardwareKey = std::move(values);
        DeviceNode added = 0;
        NTSTATUS status = kmdf_host::AddDevice(setup, &added);
        if (node != nullptr) {
            *node = added;
        }
        return status;
    }

    // Adds a device with the given PortName and `values`, and returns its context.
    PZELVIK_DEVICE_CONTEXT AddPort(std::vector<NamedRegistryValue> values = {}, std::u16string_view port = u"COM5")
    {
        values.push_back(PortName(port));
        DeviceNode node = 0;
        NTSTATUS status = Add(std::move(values), &node);
        EXPECT_EQ(STATUS_SUCCESS, status);
        if (status != STATUS_SUCCESS) {
            return nullptr;
        }
        return GetDeviceContext(kmdf_host::DeviceObject(node));
    }
};

}  // namespace corvid_test
