// The image text of "-img:": "PATH" or "PATH::N", N the partition's index.
// The command line and the main window read it through this one parser.
#pragma once
#include <cstddef>

#include "image/device/PartitionTable.h"

struct ImagePartitionText {
  size_t pathLength;             // the image path is text[0..pathLength)
  bool hasPartition;             // a "::" follows the path
  bool partitionValid;           // what follows it is a whole decimal number
  int partition;                 // its value when valid
  const wchar_t* partitionText;  // the text behind the "::" (null without one)
};

// Splits at the first "::". The number is an optional sign and decimal
// digits only, within the range of an int: nothing, letters, a hex prefix,
// blanks or anything behind the digits leave partitionValid false.
ImagePartitionText ReadImagePartitionText(const wchar_t* text);
// The partition number the operations take for it (image/device/
// PartitionTable.h): 0 without "::" (the disk's default partition), the
// number named behind it (::0 as kPartitionNamed), 0 for one that is no
// number.
int PartitionNumberOf(const ImagePartitionText& text);
