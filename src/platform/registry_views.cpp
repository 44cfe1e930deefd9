#include "platform/registry_views.h"

#include <array>

#include "base/text.h"

namespace kalvenor::platform {
namespace {

// Whether `key` is `holder` or lies below it; both in lower case.
bool Within(std::string_view key, std::string_view holder) {
  return key.starts_with(holder) && (key.size() == holder.size() || key[holder.size()] == '\\');
}

bool IsRedirectedClass(std::string_view classesKey) {
  static constexpr std::array<std::string_view, 5> kRedirected = {
      "clsid", "directshow", "interface", "media type", "mediafoundation"};
  for (const std::string_view holder : kRedirected) {
    if (Within(classesKey, holder)) return true;
  }
  return false;
}

// The keys under HKLM\Software that 32-bit and 64-bit programs share.
bool IsSharedSoftware(std::string_view belowSoftware) {
  static constexpr std::array<std::string_view, 48> kShared = {
      "clients",
      "microsoft\\com3",
      "microsoft\\cryptography\\calais\\current",
      "microsoft\\cryptography\\calais\\readers",
      "microsoft\\cryptography\\services",
      "microsoft\\ctf\\systemshared",
      "microsoft\\ctf\\tip",
      "microsoft\\dfs",
      "microsoft\\driver signing",
      "microsoft\\enterprisecertificates",
      "microsoft\\eventsystem",
      "microsoft\\msmq",
      "microsoft\\non-driver signing",
      "microsoft\\notepad\\defaultfonts",
      "microsoft\\ole",
      "microsoft\\ras",
      "microsoft\\rpc",
      "microsoft\\shared tools\\msinfo",
      "microsoft\\systemcertificates",
      "microsoft\\termservlicensing",
      "microsoft\\transaction server",
      "microsoft\\windows\\currentversion\\app paths",
      "microsoft\\windows\\currentversion\\control panel\\cursors\\schemes",
      "microsoft\\windows\\currentversion\\explorer\\autoplayhandlers",
      "microsoft\\windows\\currentversion\\explorer\\driveicons",
      "microsoft\\windows\\currentversion\\explorer\\kindmap",
      "microsoft\\windows\\currentversion\\group policy",
      "microsoft\\windows\\currentversion\\policies",
      "microsoft\\windows\\currentversion\\previewhandlers",
      "microsoft\\windows\\currentversion\\setup",
      "microsoft\\windows\\currentversion\\telephony\\locations",
      "microsoft\\windows nt\\currentversion\\console",
      "microsoft\\windows nt\\currentversion\\fontdpi",
      "microsoft\\windows nt\\currentversion\\fontlink",
      "microsoft\\windows nt\\currentversion\\fontmapper",
      "microsoft\\windows nt\\currentversion\\fonts",
      "microsoft\\windows nt\\currentversion\\fontsubstitutes",
      "microsoft\\windows nt\\currentversion\\gre_initialize",
      "microsoft\\windows nt\\currentversion\\image file execution options",
      "microsoft\\windows nt\\currentversion\\languagepack",
      "microsoft\\windows nt\\currentversion\\networkcards",
      "microsoft\\windows nt\\currentversion\\perflib",
      "microsoft\\windows nt\\currentversion\\ports",
      "microsoft\\windows nt\\currentversion\\print",
      "microsoft\\windows nt\\currentversion\\profilelist",
      "microsoft\\windows nt\\currentversion\\time zones",
      "policies",
      "registeredapplications",
  };
  for (const std::string_view holder : kShared) {
    if (Within(belowSoftware, holder)) return true;
  }
  return false;
}

}  // namespace

bool IsRedirected(RegistryRoot root, std::string_view key) {
  std::string lower = AsciiLower(key);
  if (root == RegistryRoot::Users) {
    // A user's classes, as "<SID>_Classes\…" or "<SID>\Software\Classes\…"; the rest of a
    // user's hive is one for both.
    const std::size_t slash = lower.find('\\');
    if (slash == std::string::npos) return false;
    const std::string_view below = std::string_view(lower).substr(slash + 1);
    if (std::string_view(lower).substr(0, slash).ends_with("_classes")) {
      return IsRedirectedClass(below);
    }
    return below.starts_with("software\\classes\\") && IsRedirectedClass(below.substr(17));
  }
  if (root != RegistryRoot::LocalMachine) return IsRedirectedClass(lower);
  if (!Within(lower, "software")) return false;
  const std::string_view below =
      lower.size() > 9 ? std::string_view(lower).substr(9) : std::string_view();
  if (Within(below, "classes")) return below.size() > 8 && IsRedirectedClass(below.substr(8));
  return !IsSharedSoftware(below);
}

std::vector<RegistryView> ViewsSharing(RegistryRoot root, RegistryView view, std::string_view key) {
  if (IsRedirected(root, key)) return {view};
  return {RegistryView::Bits32, RegistryView::Bits64};
}

}  // namespace kalvenor::platform
