// Win32-style type names the filter is written against, mapped onto fixed-size C types.
#pragma once

#include <cstdint>

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t LONG;
typedef void *HGLOBAL;
typedef char TCHAR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
