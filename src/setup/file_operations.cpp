// The single-file steps of a run: copy, delete, register and unregister, each logged first.
#include "inspect/diagnosis.h"
#include "inspect/verification.h"
#include "lib/lib_filesystem.h"
#include "lib/lib_sistema.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::LogFailure(std::string_view why) {
  stepFailed_ = true;
  txtOperationsAdd("|      failed: " + std::string(why));
}

void frmSetup::LocalFileCopy(const std::string& source, const std::string& destination) {
  txtOperationsAdd("> Copying file " + source);
  txtOperationsAdd("|      to " + destination);
  txtOperationsAdd("OP> FileCopy " + source + ", " + destination);
  platform::Status copied = File_CopyReplacing(services_.system, source, destination);
  if (!copied.ok()) LogFailure(copied.error().message);
}

void frmSetup::LocalFileRemove(const std::string& source) {
  txtOperationsAdd("> Deleting file " + source);
  txtOperationsAdd("OP> Kill " + source);
  platform::Status deleted = services_.system.Delete(source);
  // A file that is not there is what the delete wants.
  if (!deleted.ok() && deleted.error().code != platform::kErrorFileNotFound &&
      deleted.error().code != platform::kErrorPathNotFound) {
    LogFailure(deleted.error().message);
  }
}

// The tool's path as the first word of its command line: as it stands, unless a blank in it
// would make the tool take the rest of its own path for the file to register.
std::string frmSetup::ToolCommandWord() const {
  const std::string tool = lblRegsvrFile.Caption();
  return tool.find(' ') == std::string::npos ? tool : "\"" + tool + "\"";
}

void frmSetup::LocalRegUnreg(const std::string& source, bool regIt, const std::string& listed) {
  const std::string commandLine =
      ToolCommandWord() + (regIt ? "" : " /u") + m_silentSwitch + "\"" + source + "\"";
  txtOperationsAdd((regIt ? "> Registering file " : "> Unregistering file ") + source);
  txtOperationsAdd("OP> ShellAndWait " + commandLine);
  auto exitCode =
      ShellAndWait(services_, lblRegsvrFile.Caption(), commandLine, platform::ShowWindow::Normal);
  // The component is read only when the tool failed, and after a success to prove it.
  const inspect::Component component{source, listed, lblWinSystem.Caption(), regIt};
  if (!exitCode.ok() || exitCode.value() != 0) {
    LogFailure(exitCode.ok() ? inspect::ToolExitText(exitCode.value()) : exitCode.error().message);
    const std::optional<std::uint32_t> code =
        exitCode.ok() ? std::optional(exitCode.value()) : std::nullopt;
    for (const std::string& cause : inspect::Diagnose(services_.system, component, code)) {
      txtOperationsAdd("|      cause: " + cause);
    }
    return;
  }
  for (const std::string& failure : inspect::VerifyRegistration(services_.system, component)) {
    LogFailure(failure);
  }
}

}  // namespace kalvenor
