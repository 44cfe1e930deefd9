#pragma once
// The runtime and system services, the sum of their concerns: code that needs one concern alone
// takes its interface.

#include <cstdint>

#include "platform/capture.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/security.h"

namespace kalvenor::platform {

class System : public Files,
               public Registry,
               public Processes,
               public Security,
               public Environment,
               public Capture {};

// The system's code for "file not found" and "path not found", which a delete treats as done.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
// The system's code for "the file is in use by another process", which a held lock gives too.
inline constexpr std::uint32_t kErrorSharingViolation = 32;
// The system's code for "the parameter is incorrect".
inline constexpr std::uint32_t kErrorInvalidParameter = 87;

// The system's codes for "a file of that name exists".
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;

}  // namespace kalvenor::platform
