#pragma once
// What a run tells whoever follows it besides the window: each line of its log as it is added,
// and the registration tool's exit code as it ends.

#include <cstdint>
#include <string_view>

namespace kalvenor {

class RunObserver {
 public:
  virtual void OnLogLine(std::string_view line) = 0;
  virtual void OnToolExit(std::uint32_t exitCode) = 0;

 protected:
  ~RunObserver() = default;
};

}  // namespace kalvenor
