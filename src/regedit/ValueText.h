// Texts of the registry editor's value list: type names, row icons, data
// columns and the name order of keys and values.
#pragma once
#include <windows.h>
#include <stdint.h>

// Image of a value row: 1 (binary-like) or 0 (string-like).
enum : int { VALUE_IMAGE_STRING = 0, VALUE_IMAGE_BINARY = 1 };

// "REG_SZ"... for types 0 to 11, else "0x%08x" of the type.
void FormatValueTypeName(uint32_t type, wchar_t* out, int outSize);
int ValueTypeImage(uint32_t type);

// The data column of a value of `length` bytes; never reads past the data.
// Numbers shorter than their type are read as far as they go, the missing
// high bytes counting as zero.
void FormatValueData(uint32_t type, const uint8_t* data, uint32_t length, wchar_t* out,
                     int outSize);

// Compares after mapping only 'a'..'z' onto 'A'..'Z'; a prefix sorts first.
int CompareNamesAsciiNoCase(const wchar_t* a, const wchar_t* b);

// The type number a type column names ("REG_SZ"..., or "0x%08x"), compared
// without regard to case; REG_BINARY (3) for a text that names none.
uint32_t ValueTypeFromName(const wchar_t* text);

// The integer editors' number parsing: leading white space, an optional
// sign ('-' negates modulo 2^64), in base 16 an optional "0x", the digits of
// the base in either case up to the first other character. No digit gives 0,
// a number beyond 64 bits 0xFFFFFFFFFFFFFFFF.
uint64_t ParseValueNumber(const wchar_t* text, int base);
