// Fuzzes the text helpers the program applies to paths from the file system and the user:
// pattern matching, file names, trimming and cutting at NUL. Checks their contracts as well as
// memory safety (the build adds ASan and UBSan).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.h"
#include "lib/lib_dialog_fileopen.h"
#include "lib/lib_filesystem.h"
#include "platform/wildcard.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // First line: a pattern; the rest: a name.
  const std::size_t split = input.find('\n');
  const std::string_view pattern = input.substr(0, split);
  const std::string_view name = split == input.npos ? std::string_view() : input.substr(split + 1);

  const bool matched = kalvenor::platform::WildcardMatch(pattern, name);
  if (!kalvenor::platform::HasWildcards(pattern) && pattern == name) Check(matched);
  Check(kalvenor::platform::WildcardMatch("*", name));
  Check(kalvenor::platform::WildcardMatch(name, name) || kalvenor::platform::HasWildcards(name));

  const std::string fileName = kalvenor::File_GetName(input);
  Check(fileName.find('\\') == std::string::npos);
  Check(input.ends_with(fileName));

  const std::string trimmed = kalvenor::TrimBlanks(input);
  Check(trimmed.empty() || (trimmed.front() != ' ' && trimmed.back() != ' '));
  Check(input.find(trimmed) != std::string_view::npos);

  const std::string cut = kalvenor::String_CutAtNull(input);
  Check(cut.find('\0') == std::string::npos && input.starts_with(cut));
  return 0;
}
