// The GoogleTest fixture and small helpers of the test bed.
#include <testbed/kmdf_test.h>

namespace testbed {

void KmdfTest::SetUp() {
  kmdf_host::ResetSystem();
  expected_.clear();
  kmdf_host::SetVerifierListener([this](const kmdf_host::VerifierReport& report) {
    if (expected_.count(report.check) == 0) {
      ADD_FAILURE() << "verifier: " << kmdf_host::ToString(report.check) << ": " << report.message;
    }
  });
}

void KmdfTest::TearDown() {
  kmdf_host::SetVerifierListener(nullptr);
  kmdf_host::ResetSystem();
}

void KmdfTest::ExpectVerifier(kmdf_host::VerifierCheck check) { expected_.insert(check); }

std::vector<kmdf_host::VerifierReport> KmdfTest::TakeReports() { return kmdf_host::TakeVerifierReports(); }

bool KmdfTest::Reported(kmdf_host::VerifierCheck check) {
  bool found = false;
  for (auto& report : kmdf_host::TakeVerifierReports()) {
    if (report.check == check) found = true;
  }
  return found;
}

HardwareKey& HardwareKey::Dword(std::u16string name, ULONG value) {
  values_.push_back({std::move(name), kmdf_host::RegistryValue::Dword(value)});
  return *this;
}

HardwareKey& HardwareKey::String(std::u16string name, std::u16string_view value) {
  values_.push_back({std::move(name), kmdf_host::RegistryValue::String(value)});
  return *this;
}

HardwareKey& HardwareKey::Raw(std::u16string name, kmdf_host::RegistryValue value) {
  values_.push_back({std::move(name), std::move(value)});
  return *this;
}

bool WaitFor(const kmdf_host::IoPtr& operation, ULONG maxMilliseconds) {
  kmdf_host::RunUntilIdle();
  for (ULONG i = 0; i < maxMilliseconds && !operation->Completed(); ++i) kmdf_host::AdvanceBy(1);
  return operation->Completed();
}

std::vector<std::uint8_t> Bytes(std::string_view text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

}  // namespace testbed
