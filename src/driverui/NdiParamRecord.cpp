#include "driverui/NdiParamRecord.h"

#include <cstdlib>
#include <cwchar>

void InitNdiParamRecord(NdiParamRecord* record) {
  ZeroMemory(record, sizeof *record);
  record->step = 1;
  record->base = 10;
  record->textLimit = 100;
}

void CopyNdiText(wchar_t* field, int chars, const wchar_t* text) {
  if (chars <= 0) return;
  wcsncpy(field, text ? text : L"", chars - 1);
  field[chars - 1] = 0;
}

void FreeNdiParamRecord(NdiParamRecord* record) {
  if (!record) return;
  free(record->enumList);
  free(record);
}

void FormatNdiNumber(uint32_t number, int32_t base, wchar_t* out, int chars) {
  swprintf(out, chars, base == 16 ? L"%X" : L"%u", number);
}
