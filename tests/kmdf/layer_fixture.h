// Fixture for layer tests: the test driver loaded, one device added and started, and helpers for the
// application side.
#pragma once

#include "test_driver.h"

#include <kmdf_host/host.h>
#include <testbed/kmdf_test.h>

namespace layer_test {

class LayerTest : public testbed::KmdfTest {
 protected:
  void SetUp() override {
    testbed::KmdfTest::SetUp();
    test_driver::Reset();
    ASSERT_EQ(kmdf_host::LoadDriver(test_driver::TestDriverEntry, u"kmdftest"), STATUS_SUCCESS);
  }

  // Adds and starts a device; the test's hooks must be set before.
  void StartDevice() {
    ASSERT_EQ(kmdf_host::AddDevice({}, &node_), STATUS_SUCCESS);
    ASSERT_EQ(kmdf_host::StartDevice(node_), STATUS_SUCCESS);
    ctx_ = test_driver::LastDevice();
  }

  void StartAndOpen() {
    StartDevice();
    auto op = kmdf_host::Open(u"KTEST1", &file_);
    ASSERT_TRUE(op->Completed());
    ASSERT_EQ(op->Status(), STATUS_SUCCESS);
  }

  kmdf_host::VirtualScheduler& Sched() {
    return dynamic_cast<kmdf_host::VirtualScheduler&>(kmdf_host::CurrentScheduler());
  }

  kmdf_host::DeviceNode node_ = 0;
  test_driver::DeviceContext* ctx_ = nullptr;
  kmdf_host::FileHandle file_ = 0;
};

}  // namespace layer_test
