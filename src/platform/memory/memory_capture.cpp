// The memory platform's captures: each helper does what the test's script says.
#include "platform/memory/memory_process.h"

namespace kalvenor::platform::memory {
namespace {

class MemoryCaptureSession final : public CaptureSession {
 public:
  MemoryCaptureSession(MemoryPlatform& platform, std::string component, CaptureScript script)
      : platform_(platform),
        component_(std::move(component)),
        helper_(platform, script.helper),
        outcome_(std::move(script.outcome)) {}
  Process& Helper() override { return helper_; }
  Status Terminate() override {
    platform_.terminatedCaptures.push_back(component_);
    helper_.End(kCaptureTerminated);
    return Done{};
  }
  Result<CaptureOutcome> Outcome() override { return outcome_; }

 private:
  MemoryPlatform& platform_;
  std::string component_;
  MemoryProcess helper_;
  Result<CaptureOutcome> outcome_;
};

}  // namespace

Result<std::unique_ptr<CaptureSession>> MemoryPlatform::StartCapture(std::string_view component,
                                                                     RegistryView view) {
  captures.emplace_back(component, view);
  CaptureScript script;
  if (onCapture) script = onCapture(std::string(component), view);
  if (script.helper.startError) return *script.helper.startError;
  if (script.helper.onStart) script.helper.onStart();
  return std::unique_ptr<CaptureSession>(
      std::make_unique<MemoryCaptureSession>(*this, std::string(component), std::move(script)));
}

Status MemoryPlatform::CheckManifest(std::string_view path, RegistryView view) {
  checkedManifests.emplace_back(path);
  if (!HasFile(std::string(path))) return MemoryError(2);
  if (onCheckManifest) {
    if (auto refused = onCheckManifest(std::string(path), view)) return *refused;
  }
  return Done{};
}

}  // namespace kalvenor::platform::memory
