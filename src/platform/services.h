#pragma once

#include "platform/system.h"
#include "platform/toolkit.h"

namespace kalvenor::platform {

// The platform as the program's logic sees it.
struct Services {
  Toolkit& toolkit;
  System& system;
};

}  // namespace kalvenor::platform
