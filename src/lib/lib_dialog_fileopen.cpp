#include "lib/lib_dialog_fileopen.h"

namespace kalvenor {

std::string Dialog_FileOpen(platform::Toolkit& toolkit, platform::Form& p_owner,
                            std::string_view p_filterName, std::string_view p_filterPattern,
                            std::string_view p_title, std::string_view initialDir) {
  platform::FileOpenRequest request;
  request.filterName = p_filterName;
  request.filterPattern = p_filterPattern;
  request.title = p_title;
  request.initialDir = initialDir;
  // Room for the longest path, but empty: a name box full of blanks makes the dialog join them
  // to the folder when the user presses Open at once, which overflows it under Wine.
  request.fileBuffer = std::string(kFileOpenMaxPath, ' ');
  request.fileBuffer[0] = '\0';
  std::optional<std::string> buffer = toolkit.FileOpenDialog(p_owner, request);
  return buffer ? String_CutAtNull(*buffer) : std::string();
}

std::string String_CutAtNull(std::string_view p_buffer) {
  return std::string(p_buffer.substr(0, p_buffer.find('\0')));
}

}  // namespace kalvenor
