#pragma once
// A started program on Win32, shared by the concerns that start one.

#include <windows.h>

#include <memory>

#include "platform/processes.h"
#include "platform/win32/handles.h"

namespace kalvenor::win32 {

class Win32Process final : public platform::Process {
 public:
  Win32Process(UniqueHandle process, DWORD id) : process_(std::move(process)), id_(id) {}
  platform::Result<std::uint32_t> ExitCode() const override { return exitCode_; }
  void FlashWindows() override;
  HANDLE Handle() const { return process_.get(); }
  DWORD Id() const { return id_; }

 private:
  platform::Wake Wait(std::optional<std::uint32_t> timeoutMs) override;

  UniqueHandle process_;
  DWORD id_;
  platform::Result<std::uint32_t> exitCode_ = std::uint32_t{0};
};

// Starts `program` with `commandLine` in the current folder `folder`, its first window shown as
// `show` (SW_SHOWNORMAL, ...).
platform::Result<std::unique_ptr<Win32Process>> StartProcess(const std::wstring& program,
                                                             std::wstring commandLine,
                                                             const std::wstring& folder, WORD show);

}  // namespace kalvenor::win32
