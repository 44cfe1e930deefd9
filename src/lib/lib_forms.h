#pragma once

#include "platform/toolkit.h"

namespace kalvenor {

// Unloads every loaded window; the program ends when none is left.
void Forms_UnloadAll(platform::Toolkit& toolkit);

}  // namespace kalvenor
