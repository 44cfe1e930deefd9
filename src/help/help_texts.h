#pragma once
// The hover help texts of the Setup window.

#include <string>

namespace kalvenor {

// Help index 1 to 4 (Install, Remove, Overwrite copy, mode toggle) for the given mode; lines
// joined with CR LF. Empty for any other index.
std::string HelpText(int index, bool manualMode);

}  // namespace kalvenor
