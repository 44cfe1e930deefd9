#pragma once
// What the Setup window's runs go over, as the user has set it: the mode, the files picked by
// hand, the files the list shows, and the silent switch. The window renders it and builds each
// run's plan from it; it reads none of it back from its controls.

#include <string>
#include <vector>

namespace kalvenor {

struct Selection {
  bool manual = false;                   // manual mode: the picked files; else the program's folder
  bool silent = true;                    // the registration tool runs with /s
  std::vector<std::string> m_fileArray;  // the files picked in manual mode, in picking order
  std::vector<std::string> listed;       // the files the list shows, which a run goes over
  // The silent switch as the tool's command line holds it, just before the quoted path.
  const char* SilentSwitch() const { return silent ? " /s " : " "; }
};

}  // namespace kalvenor
