// Registry text in .reg form: escaped strings and "hex(n):" data lines, as
// written into .reg exports and into the staging script of driver
// installation.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Longest physical line the hex formatters write, in characters.
constexpr size_t kRegHexLineMax = 8192;

// The .reg continuation written when hex data does not fit on one line:
// backslash, CR LF, two blanks.
constexpr wchar_t kRegLineContinuation[] = L"\\\r\n  ";

// Copies `text` into `out` (room for `size` characters, NUL included) with a
// backslash before every backslash and every double quote. This copies into a
// separate buffer rather than escaping in place. Returns the length of the
// whole escaped text (without its NUL); when that is `size` or more, `out`
// holds the longest prefix that fits and never ends inside an escape pair
// (a lone trailing backslash would continue the .reg line).
int EscapeRegString(const wchar_t* text, wchar_t* out, int size);

// Writes `count` UTF-16 characters of `data` as "hex(type):" (type in
// lower-case hexadecimal) followed by "%02x,%02x," per character (low byte first) into
// `out`, replacing what it held; the argument order is (out, size, data,
// count, type). REG_MULTI_SZ (7) ends without the last comma (pass the list
// with its NULs); other types get "00,00" for the terminating NUL.
// A physical line never exceeds `size` characters: the data goes on after a
// continuation (kRegLineContinuation) rather than being cut. Returns
// out.size().
size_t FormatRegHexString(std::wstring& out, size_t size, const wchar_t* data, size_t count,
                          unsigned type);

// Bytes of a value of any type as .reg data: "hex:" (REG_BINARY) or
// "hex(%x):" with the type in lower-case hexadecimal, then "%02x" per byte
// with a comma between bytes (none after the last); lines wrap at
// kRegHexLineMax with a continuation rather than being cut.
std::wstring FormatRegHexBytes(unsigned type, const uint8_t* data, size_t length);

// Appends ONE entry of a multi-string to a "hex(7):" line being built (this
// does not write a whole list in one call). Pass the entry with its NUL and
// the list's closing NUL (count = length + 2). When the line already ends a
// list ("00,00,00,00"), that closing NUL is cut first, so successive calls
// build "a NUL b NUL NUL". Lines wrap at kRegHexLineMax with a continuation.
// Returns line.size().
size_t FormatRegMultiSzHex(std::wstring& line, const wchar_t* data, size_t count);

// A key path below HKEY_LOCAL_MACHINE that names the link Windows makes at
// boot, "SYSTEM\CurrentControlSet" (any case, alone or followed by "\"),
// put on the control set it links to: "SYSTEM\ControlSet%03u" with the
// same rest. Any other path comes back as it is.
std::wstring MapCurrentControlSet(const std::wstring& machineKey, uint32_t controlSet);
