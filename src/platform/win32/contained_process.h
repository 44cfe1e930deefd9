#pragma once
// Starting a program whose code is not trusted: contained, with no more rights than reading
// needs.

#include <windows.h>

#include <memory>
#include <string>

#include "platform/win32/win32_process.h"

namespace kalvenor::win32 {

// The process and the job that holds it; closing the job ends the process.
struct ProcessInJob {
  std::unique_ptr<Win32Process> process;
  UniqueHandle job;
};

// Starts `program` hidden, with a restricted copy of this program's token (at low integrity
// where `lowIntegrity`), in a job that allows it no child process and no desktop changes and ends
// it with the job. An error, and nothing left running, where any of that cannot be had.
platform::Result<ProcessInJob> StartContained(const std::wstring& program, std::wstring commandLine,
                                              const std::wstring& folder, bool lowIntegrity);

// Lets a contained process run `program`, a file of the journal's store, which only
// administrators and SYSTEM may read as the store gives it: its token is no administrator.
platform::Status LetContainedRun(const std::wstring& program);

// Labels `key` so that a low-integrity process may write it and make keys below it. Wine
// labels no key (ERROR_INVALID_PARAMETER).
platform::Status LabelForLowIntegrity(HKEY key);

}  // namespace kalvenor::win32
