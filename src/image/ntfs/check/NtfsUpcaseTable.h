// Judges a volume's upper-case table against the tables this system knows:
// the one mkntfs writes (the library's default) and the one the running
// Windows would write. Win32 side: free of the library's headers.
#pragma once
#include <stdint.h>

#include <vector>

// The entries an upper-case table has: 65,536, one per UTF-16 unit.
const uint32_t kNtfsUpcaseEntries = 65536;

// Counts the entries of a table of kNtfsUpcaseEntries that no known table
// gives: below 0x80 the default table's entry; above it that entry, the
// system's own upper case, or the character itself (older tables lack
// mappings newer ones have). *first gets the first such character. With
// `mended`, it becomes the table with those entries taken from the default
// table. -1 when the default table cannot be built.
int64_t CountStrayUpcaseEntries(const uint16_t* table, uint32_t* first,
                                std::vector<uint16_t>* mended = nullptr);
