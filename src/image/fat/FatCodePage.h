// Code pages of short names and the module's Unicode up-case function.
#pragma once
#include <stdint.h>

// 0, or 19 when the code page is not supported (then no code page is
// selected and characters above 0x7F have no short-name form).
int FatSelectCodePage(uint32_t codePage);
uint32_t FatCurrentCodePage();  // 0 when none

// UTF-16 unit <-> OEM code of the current code page (a double-byte code as
// lead << 8 | trail). Below 0x80 unchanged; 0 when there is no counterpart.
uint16_t FatWideToOem(uint16_t ch);
uint16_t FatOemToWide(uint16_t code);
// True when the byte starts a double-byte code in the current code page.
bool FatIsLeadByte(uint8_t b);
// Upper case of an OEM byte 0x80-0xFF of a single-byte code page.
uint8_t FatOemUpperByte(uint8_t b);

uint16_t FatUpcase(uint16_t ch);
