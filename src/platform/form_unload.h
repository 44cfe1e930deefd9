#pragma once
// The unload sequence every form follows, whichever toolkit it belongs to.

#include "platform/toolkit.h"

namespace kalvenor::platform {

// Asks the window's logic, then calls `destroy` unless the logic cancelled or the window went
// meanwhile. `unloading` is the form's own flag: an unload asked for from inside the logic's
// handler does nothing, and the flag is clear again however the handler ends.
template <class IsLoaded, class Destroy>
void UnloadForm(bool& unloading, FormEvents& events, IsLoaded isLoaded, Destroy destroy) {
  if (!isLoaded() || unloading) return;
  struct Asking {
    bool& flag;
    explicit Asking(bool& f) : flag(f) { flag = true; }
    ~Asking() { flag = false; }
  };
  bool cancel = false;
  {
    Asking asking(unloading);
    events.OnUnload(cancel);
  }
  if (cancel || !isLoaded()) return;
  destroy();
}

}  // namespace kalvenor::platform
