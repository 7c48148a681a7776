#include "app/mainwnd/FileTypes.h"

#include <windows.h>

#include <cwchar>

#include "common/PathUtil.h"

namespace {

// Groups in order; each row's extensions end with null.
const wchar_t* const kGroups[][12] = {
    {L"dll", L"sys", L"cpl", L"vxd"},
    {L"exe", L"com"},
    {L"fon", L"ttc", L"ttf"},
    {L"bmp", L"jpg", L"tif", L"png", L"gif", L"ico", L"psd"},
    {L"ini", L"css", L"js", L"inf"},
    {L"bat", L"cmd"},
    {L"reg"},
    {L"log", L"txt", L"def", L"c", L"cpp", L"h", L"asm", L"inc"},
    {L"wps", L"doc", L"docx", L"rtf", L"pdf", L"xls"},
    {L"chm"},
    {L"mp4", L"m4v", L"3gp", L"mov", L"wmv", L"avi", L"mpeg", L"mpg", L"rmvb", L"rm"},
    {L"mid", L"m4a", L"wav", L"snd", L"wma", L"mp2", L"mp3", L"aac"},
    {L"htm", L"html", L"mht", L"mhtml"},
    {L"xml", L"php"},
    {L"7z", L"arj", L"ace", L"cab", L"lzh", L"gz", L"jar", L"rar", L"zip"},
    {L"img", L"vfd"},
};

}  // namespace

int ClassifyFileType(const wchar_t* name) {
  const wchar_t* extension = FindExtensionPart(name);
  if (!*extension) return kItemPlainFile;
  for (int group = 0; group < int(sizeof kGroups / sizeof kGroups[0]); ++group) {
    for (int i = 0; kGroups[group][i]; ++i) {
      // The extensions are ASCII: a plain case fold finds them.
      if (_wcsicmp(extension, kGroups[group][i]) == 0) return kFirstFileGroup + group;
    }
  }
  return kItemPlainFile;
}
