// Capture from the window: the listed files' registrations written to a file of the kind the
// system menu names, registering nothing; the run shows in the log as any other.
#include "setup/frm_setup.h"

#include "capture/exports.h"

namespace kalvenor {

void frmSetup::CaptureListed(int command) {
  static constexpr struct {
    int command;
    const char* title;
    const char* filterName;
    const char* extension;
    const char* fileName;
    std::string engine::Exports::*file;
  } kKinds[] = {
      {kCaptureWxs, "Save the WiX source", "WiX source (*.wxs)", "wxs", "components.wxs",
       &engine::Exports::wxs},
      {kCaptureReg, "Save the registry file", "Registration entries (*.reg)", "reg",
       "components.reg", &engine::Exports::reg},
      {kCaptureManifest, "Save the application manifest", "Manifests (*.manifest)", "manifest",
       "application.exe.manifest", &engine::Exports::manifest},
  };
  for (const auto& kind : kKinds) {
    if (kind.command != command) continue;
    if (selection_.listed.empty()) {
      services_.toolkit.MsgBox(*form_, "There is no file listed to capture.",
                               services_.system.App().title, platform::MsgBoxStyle::Critical);
      return;
    }
    const std::string pattern = std::string("*.") + kind.extension;
    const std::optional<std::string> path =
        services_.toolkit.FileSaveDialog(*form_, {.title = kind.title,
                                                  .filterName = kind.filterName,
                                                  .filterPattern = pattern,
                                                  .defaultExtension = kind.extension,
                                                  .initialDir = services_.system.DocumentsFolder(),
                                                  .fileName = kind.fileName});
    if (!path) return;
    engine::Plan plan{.kind = engine::RunKind::Capture, .items = selection_.listed};
    plan.exports.*kind.file = *path;
    // A manifest's own files beside it are judged with it.
    std::vector<std::string> files{*path};
    if (kind.file == &engine::Exports::manifest) {
      for (std::string& file : capture::ManifestOwnFiles(*path)) files.push_back(std::move(file));
    }
    const std::vector<std::optional<std::string>> refused = engine_.WhyNotReports(plan, files);
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (!refused[i]) continue;
      services_.toolkit.MsgBox(*form_,
                               "The capture cannot be saved to " + files[i] + ": " + *refused[i],
                               services_.system.App().title, platform::MsgBoxStyle::Critical);
      return;
    }
    (void)engine_.Run(plan);
  }
}

}  // namespace kalvenor
