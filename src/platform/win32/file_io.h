#pragma once
// Reading and writing an open file on Win32, shared by the files held by name and by handle.

#include <windows.h>

#include <string_view>

#include "platform/files.h"

namespace kalvenor::win32 {

platform::Status WriteAll(HANDLE file, std::string_view bytes);
// Hands each piece of the open file to `sink`, from where it stands to its end.
platform::Status EachPiece(HANDLE file, const platform::PieceSink& sink);

}  // namespace kalvenor::win32
