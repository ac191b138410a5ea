#pragma once

#include <windows.h>

// Whether this Windows program runs under Wine, for the few checks that only
// Windows itself can pass.
inline bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
