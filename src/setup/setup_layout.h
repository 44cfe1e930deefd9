#pragma once
// The Setup window as laid out before its start-up handler runs.

#include "platform/form_description.h"

namespace kalvenor {

// Control ids of the Setup window; the end-to-end tests find the controls by them too.
enum class SetupId : int {
  txtOperations = 101,
  cmdListClear,
  chkSilent,
  cmdListAdd,
  cmdQuit,
  Frame2,
  cmdBlindCopy,
  chkAutoManual,
  fileList,
  cmdRemove,
  cmdInstall,
  Frame1,
  imgManual,
  imgAutomatic,
  lblWinSystem,
  lblRegsvrFile,
  Label2,
  Label1,
};

constexpr int Id(SetupId id) { return static_cast<int>(id); }

platform::FormDescription SetupFormDescription();

}  // namespace kalvenor
