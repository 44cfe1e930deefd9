#pragma once
// Shared counts, as installers keep them: one value per file under SharedDLLs, counting the
// programs that installed it. Kalvenor is one program among them: it takes one share of a file
// the first time it installs it, and notes that it holds it where only administrators write, so
// that a second Install takes none and Remove gives back only its own.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/system.h"
#include "platform/version_resource.h"

namespace kalvenor::journal {

inline constexpr char kSharedDllsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
inline constexpr char kHeldSharesKey[] = "SOFTWARE\\Kalvenor\\Shares";
// Beside each share, what the Install that holds it put there: a detection asks whether that
// Install still holds long after the journal has let its run go. It counts only while the share
// is held, and stays when the share is given back: an Undo of that Remove brings the Install
// back whole.
inline constexpr char kInstalledKey[] = "SOFTWARE\\Kalvenor\\Installed";

// The file that Kalvenor's Install put in place.
struct Installed {
  std::string sha256;  // lower-case hex
  std::optional<platform::FileVersion> version;
  friend bool operator==(const Installed&, const Installed&) = default;
};

struct SharedCount {
  std::string name;                    // the value's name: as found, or the file's path
  std::optional<std::uint32_t> value;  // nothing when the file has no count
  bool held = false;                   // Kalvenor holds one share of it
  std::optional<Installed> installed;  // while it holds it: what its Install put there
};

// The counts as one run reads and writes them. Another installer may have counted a file under
// another spelling: the names of a view's counts are read once, the first time a file has no
// count under its own, and the run's own writes keep them current.
// A change of one file's count, as a step makes it.
struct ShareChange {
  SharedCount before, after;
  platform::RegistryView view = platform::RegistryView::Bits32;
};

class SharedCounts {
 public:
  explicit SharedCounts(platform::System& system) : system_(system) {}
  // The count of `path` under any spelling, in the registry view of the file's bitness, and
  // whether Kalvenor holds a share.
  SharedCount Read(const std::string& path, platform::RegistryView view);
  // Writes the count under its name (nothing deletes it) and whether Kalvenor holds a share.
  platform::Status Write(const std::string& path, const SharedCount& count,
                         platform::RegistryView view);
  // What Kalvenor's Install of `path`, which holds its share, put there.
  // What Kalvenor's Install of `path` put there, as kept ("<sha256> <version>", "-" for a version
  // it does not know; "-" alone: no Install holds), whether its share is held or not; and writing
  // it (nothing: deleting it), as a step and Undo change it.
  std::optional<std::string> InstalledRecord(const std::string& path,
                                             platform::RegistryView view) const;
  platform::Status WriteInstalled(const std::string& path, platform::RegistryView view,
                                  const std::optional<std::string>& record);

 private:
  // Each count's name by its comparable form.
  std::map<std::string, std::string>& NamesIn(platform::RegistryView view);

  platform::System& system_;
  std::map<platform::RegistryView, std::map<std::string, std::string>> names_;
};

// The record of a file that no Install of Kalvenor's holds (yet, or any more).
inline constexpr char kNoInstallRecord[] = "-";
std::string InstalledText(const Installed& installed);
std::optional<Installed> InstalledFromText(std::string_view text);

// Counts written as text in the journal: "-" for none.
std::string CountText(std::optional<std::uint32_t> count);
std::optional<std::uint32_t> CountFromText(std::string_view text);

}  // namespace kalvenor::journal
