// The executable unpacker: its one entry.
#pragma once

// Restores the UPX-packed PE32 or PE32+ file at in_path into out_path.
// Returns a Win32 error number: 0 unpacked; 2 input missing or not a regular
// file; 11 a file cannot be opened; 13 input empty; 80 output exists;
// 87 not packed, damaged or not supported; 223 input of 1 GiB or more.
int unpack_one_file(const wchar_t* in_path, const wchar_t* out_path);
