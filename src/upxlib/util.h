// search, path utilities, bounded formatting and the self-test.
#pragma once
#include <cstdarg>

#include "upxlib/conf.h"

namespace upx {

int find(const void* b, int blen, const void* what, int wlen);
int find_be16(const void* b, int blen, unsigned what);
int find_be32(const void* b, int blen, unsigned what);
int find_le16(const void* b, int blen, unsigned what);
int find_le32(const void* b, int blen, unsigned what);
int mem_replace(void* b, int blen, const void* what, int wlen, const void* r);
int ptr_distance(const void* a, const void* b);
const wchar_t* fileNamePart(const wchar_t* path);
bool hasScreenSaverExtension(const wchar_t* path);

int upx_vsnprintf(char* str, size_t max_size, const char* format, va_list ap);
int upx_snprintf(char* str, size_t max_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
size_t upx_strlen(const char* s);

bool selfTest();
bool testFieldTypes();  // the field-type tests of selfTest

}  // namespace upx
