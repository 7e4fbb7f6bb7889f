// GoogleTest fixture for tests on the framework layer: a fresh machine per test, verifier reports as
// test failures, injected faults cleared at the end.
#pragma once

#include <gtest/gtest.h>
#include <kmdf_host/host.h>

#include <set>
#include <string>
#include <vector>

namespace testbed {

class KmdfTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Reports of this kind are recorded but do not fail the test; check them with TakeReports.
  void ExpectVerifier(kmdf_host::VerifierCheck check);
  // Reports recorded since the last call (expected or not).
  std::vector<kmdf_host::VerifierReport> TakeReports();
  // True when a report of this kind was recorded (and takes all reports).
  bool Reported(kmdf_host::VerifierCheck check);

 private:
  std::set<kmdf_host::VerifierCheck> expected_;
};

// Values of a device's hardware key.
class HardwareKey {
 public:
  HardwareKey& Dword(std::u16string name, ULONG value);
  HardwareKey& String(std::u16string name, std::u16string_view value);
  HardwareKey& Raw(std::u16string name, kmdf_host::RegistryValue value);
  operator const std::vector<kmdf_host::NamedRegistryValue>&() const { return values_; }
  const std::vector<kmdf_host::NamedRegistryValue>& Values() const { return values_; }

 private:
  std::vector<kmdf_host::NamedRegistryValue> values_;
};

// Runs the machine until the operation completed, moving the clock 1 ms at a time for at most
// `maxMilliseconds`. True when it completed.
bool WaitFor(const kmdf_host::IoPtr& operation, ULONG maxMilliseconds = 60000);

// Bytes of a text, for writes.
std::vector<std::uint8_t> Bytes(std::string_view text);
std::string Text(const std::vector<std::uint8_t>& bytes);
std::string Narrow(std::u16string_view text);

}  // namespace testbed
