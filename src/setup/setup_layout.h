#pragma once
// The Setup window as laid out before its start-up handler runs.

#include "platform/form_description.h"
#include "platform/toolkit.h"

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

// A caption label fits its text, which some fonts make wider than the design: the value label
// beside it moves right by as much, so that the caption does not run under it.
void MakeRoomForCaptions(platform::Form& form);

}  // namespace kalvenor
