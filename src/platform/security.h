#pragma once
// Who may do what: administrator rights, folders only administrators may change, and the lock
// that keeps runs apart.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace kalvenor::platform {

// Held while a run changes the system; released when it is destroyed.
class RunLock {
 public:
  virtual ~RunLock() = default;
};

class Security {
 public:
  virtual ~Security() = default;
  // Whether the program runs with administrator rights in force.
  virtual bool Elevated() const = 0;
  // Whether the program runs as the LocalSystem account, as deployment agents run it: its own
  // user hive is then no user's, and the users' classes are those loaded under HKEY_USERS.
  virtual bool RunsAsSystem() const = 0;
  // Creates the folder with rights of its own, inheriting none: full control for
  // administrators and SYSTEM, nothing for anyone else. An existing one is left as it is.
  virtual Status CreateProtectedFolder(std::string_view path) = 0;
  // Who besides administrators and SYSTEM (and Windows' own installer service) may change the
  // folder or add to it, as the system names them: each account that has the rights
  // ("DOMAIN\user"), "its owner DOMAIN\user", or what else leaves it open to anyone ("it has no
  // DACL", "it is a link"). Empty when nobody may.
  virtual Result<std::vector<std::string>> OthersWhoMayChange(std::string_view path) const = 0;
  // Whether nobody but administrators and SYSTEM may change the folder or add to it.
  Result<bool> IsProtectedFolder(std::string_view path) const {
    Result<std::vector<std::string>> others = OthersWhoMayChange(path);
    if (!others.ok()) return others.error();
    return others.value().empty();
  }
  // The lock one run of the program at a time holds on this machine, whichever user or session
  // runs it. An error with kErrorSharingViolation (32) while another run holds it; any other
  // error when it cannot be made at all. It lives in the journal's store
  // (%ProgramData%\Kalvenor), so that only administrators can hold it: where that store is
  // missing or others may change it, no run may start.
  virtual Result<std::unique_ptr<RunLock>> LockRuns() = 0;
};

}  // namespace kalvenor::platform
