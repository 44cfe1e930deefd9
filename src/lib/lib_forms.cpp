#include "lib/lib_forms.h"

namespace kalvenor {

void Forms_UnloadAll(platform::Toolkit& toolkit) {
  // A copy: unloading takes windows out of the collection.
  for (platform::Form* form : toolkit.Forms()) form->Unload();
}

}  // namespace kalvenor
