#include "help/help_texts.h"

#include <initializer_list>
#include <string_view>

namespace kalvenor {
namespace {

std::string Lines(std::initializer_list<std::string_view> lines) {
  std::string text;
  bool first = true;
  for (std::string_view line : lines) {
    if (!first) text += "\r\n";
    text += line;
    first = false;
  }
  return text;
}

}  // namespace

std::string HelpText(int index, bool manualMode) {
  switch (index) {
    case 1:
      return manualMode
                 ? Lines({"<Manual mode>", "", "Install will be performed as ",
                          "a copy file followed by a regserver."})
                 : Lines({"<Automatic mode>", "", "Install the files found within the",
                          "same directory of this program.", "", "Install will be performed as ",
                          "a copy file followed by a regserver."});
    case 2:
      return manualMode ? Lines({"<Manual mode>", "", "Remove will be performed as an unregserver",
                                 "followed by a delete file."})
                        : Lines({"<Automatic mode>", "", "Remove the files found within the",
                                 "same directory of this program that are",
                                 "also present in the system directory.", "",
                                 "Remove will be performed as an unregserver",
                                 "followed by a delete file from the system directory."});
    case 3:
      return manualMode ? Lines({"<Manual mode>", "", "Copy the files selected to",
                                 "the system directory."})
                        : Lines({"<Automatic mode>", "", "Copy the files found within the",
                                 "same directory of this program to", "the system directory."});
    case 4:
      return Lines({"Switch from automatic to manual mode.",
                    "> With automatic mode, files are selected",
                    "    from the directory of this program.",
                    "> With manual mode, you manually select files.",
                    "    And that's all you do manually... :-)"});
    default: return {};
  }
}

}  // namespace kalvenor
