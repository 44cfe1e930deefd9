#pragma once
// Resource ids shared by the resource script and the program. The window icon comes first:
// Explorer shows the lowest icon id as the program's icon.

#define IDI_SETUP 1
#define IDI_INSTALL 2
#define IDI_EXIT 3
#define IDI_OVERWRITE 4
#define IDI_REMOVE 5
#define IDI_MANUAL 6
#define IDI_AUTOMATIC 7

// The capture helpers of each bitness (RCDATA), written into the store and started from there.
#define IDR_CAPTURE_X86 101
#define IDR_CAPTURE_X64 102
