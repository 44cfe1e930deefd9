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

// The helper's session as the script has it.
Result<std::unique_ptr<CaptureSession>> Started(MemoryPlatform& platform,
                                                std::string_view component, CaptureScript script) {
  if (script.helper.startError) return *script.helper.startError;
  if (script.helper.onStart) script.helper.onStart();
  return std::unique_ptr<CaptureSession>(
      std::make_unique<MemoryCaptureSession>(platform, std::string(component), std::move(script)));
}

}  // namespace

Result<std::unique_ptr<CaptureSession>> MemoryPlatform::StartCapture(std::string_view component,
                                                                     RegistryView view,
                                                                     std::string_view folder) {
  captures.emplace_back(component, view);
  startedIn.emplace_back(folder);
  CaptureScript script;
  if (onCapture) script = onCapture(std::string(component), view);
  return Started(*this, component, std::move(script));
}

Result<std::unique_ptr<CaptureSession>> MemoryPlatform::StartActivation(
    std::string_view component, RegistryView, const std::vector<std::string>& classes,
    std::string_view folder) {
  activations.emplace_back(component, classes);
  startedIn.emplace_back(folder);
  CaptureScript script;
  if (onActivation) {
    script = onActivation(std::string(component), classes);
  } else {
    for (const std::string& clsid : classes) {
      script.outcome.value().activated.push_back({clsid, 0, {}, true});
    }
  }
  return Started(*this, component, std::move(script));
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
