// One advanced network parameter as the advanced-parameter pages hold it:
// the item data of its entry in the page's list box, owned by the page.
#pragma once
#include <windows.h>
#include <stdint.h>

// Typed text is limited to this many characters; a value chosen from an
// enum list is kept whole (up to the field's width).
constexpr int kNdiTypedValueChars = 19;
constexpr int kNdiValueChars = 256;

struct NdiParamRecord {
  wchar_t name[80];               // key name under Ndi\params, and the value's name
  wchar_t description[100];       // ParamDesc (store side)
  wchar_t value[kNdiValueChars];  // current choice; empty: no value (absent)
  wchar_t defaultValue[20];       // Default (store side)
  wchar_t type[20];               // type keyword (store side)
  wchar_t* enumList;  // store side: pairs of texts (shown, value), ended by an empty text
  int32_t changed;    // the operator gave it another value than the loaded one
  int32_t minimum;
  int32_t maximum;
  int32_t step;
  int32_t base;
  int32_t textLimit;
  int32_t upperCase;
  int32_t lowerCase;
  int32_t absentChosen;  // the operator chose "not present"
};

// Sets the record to its initial values (empty texts, step 1, base 10,
// text limit 100).
void InitNdiParamRecord(NdiParamRecord* record);
// Copies text into a record field of `chars` characters, cut to fit.
void CopyNdiText(wchar_t* field, int chars, const wchar_t* text);
// Frees the record and its enumeration list.
void FreeNdiParamRecord(NdiParamRecord* record);
// A number in the parameter's base as the driver reads it: hexadecimal
// digits for base 16, decimal otherwise.
void FormatNdiNumber(uint32_t number, int32_t base, wchar_t* out, int chars);
