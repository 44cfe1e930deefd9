#pragma once
// A component's registration as captured, and the exports made of it.

#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/registry.h"

namespace kalvenor::capture {

struct Captured {
  // The component's full path, as the capture loaded it.
  std::string path;
  // Its other spellings that a registration may write (its short name), besides `path`.
  std::vector<std::string> aliases;
  // The view of its bitness: the one its registration belongs in on 64-bit Windows.
  platform::RegistryView view = platform::RegistryView::Bits64;
  platform::CapturedRegistration registration;
};

}  // namespace kalvenor::capture
