// Where a command's lines go: the standard output when the process has one
// (a console, a file or a pipe), else the console of the parent process.
#pragma once
#include <windows.h>

// INVALID_HANDLE_VALUE (or null) when there is neither. The parent's
// console is attached once and kept.
HANDLE CommandOutput();
