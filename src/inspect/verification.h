#pragma once
// Proof that a registration the tool reported as done took effect: every class the component's
// type library declares is registered to the copy, in the registry view of the tool's bitness,
// or, after an unregistration, no longer is.

#include <string>
#include <vector>

#include "inspect/diagnosis.h"
#include "platform/system.h"

namespace kalvenor::inspect {

// What the log says for each class that is not as it must be: empty when all are, and when the
// component carries no type library, which leaves nothing to check it against.
std::vector<std::string> VerifyRegistration(platform::System& system, const Component& component);

}  // namespace kalvenor::inspect
