#include "app/ImagePartitionText.h"

#include <limits.h>
#include <wchar.h>

ImagePartitionText ReadImagePartitionText(const wchar_t* text) {
  ImagePartitionText result = {wcslen(text), false, false, 0, nullptr};
  const wchar_t* separator = wcsstr(text, L"::");
  if (!separator) return result;
  result.pathLength = size_t(separator - text);
  result.hasPartition = true;
  result.partitionText = separator + 2;
  const wchar_t* at = result.partitionText;
  bool negative = *at == L'-';
  if (*at == L'-' || *at == L'+') ++at;
  if (*at < L'0' || *at > L'9') return result;
  long long value = 0;
  for (; *at >= L'0' && *at <= L'9'; ++at) {
    value = value * 10 + (*at - L'0');
    if (value > (long long)INT_MAX + 1) return result;
  }
  if (*at) return result;
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return result;
  result.partition = int(value);
  result.partitionValid = true;
  return result;
}

int PartitionNumberOf(const ImagePartitionText& text) {
  if (!text.hasPartition || !text.partitionValid) return 0;
  return text.partition == 0 ? kPartitionNamed : text.partition;
}
