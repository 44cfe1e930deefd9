// The memory platform's protected folders and run lock.
#include "platform/memory/memory_platform.h"

namespace kalvenor::platform::memory {
namespace {

// Marks the platform's lock as held while it lives.
class MemoryLock final : public RunLock {
 public:
  explicit MemoryLock(std::shared_ptr<bool> held) : held_(std::move(held)) { *held_ = true; }
  ~MemoryLock() override { *held_ = false; }

 private:
  std::shared_ptr<bool> held_;
};

}  // namespace

Status MemoryPlatform::CreateProtectedFolder(std::string_view path) {
  const bool existed = Find(path) != nullptr;
  Status created = CreateFolder(path);
  if (created.ok() && !existed) Find(path)->protectedFolder = true;
  return created;
}

Result<std::vector<std::string>> MemoryPlatform::OthersWhoMayChange(std::string_view path) const {
  using Names = std::vector<std::string>;
  const Entry* folder = Find(path);
  if (!folder) return MemoryError(3);
  if (!folder->folder) return Names{"it is no folder"};
  if (!folder->others.empty()) return folder->others;
  // One made by CreateFolder takes its rights from the folder above it.
  if (!folder->protectedFolder) return Names{"it takes rights from the folder above it"};
  return Names{};
}

Result<std::unique_ptr<RunLock>> MemoryPlatform::LockRuns() {
  if (lockFailure) return *lockFailure;
  if (*lockHeld_) return MemoryError(kErrorSharingViolation);
  return std::unique_ptr<RunLock>(std::make_unique<MemoryLock>(lockHeld_));
}

}  // namespace kalvenor::platform::memory
