#pragma once

// The one door to the Windows calls: the narrow-character API, nothing more.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// MessageBoxA without an owner window, with user32.dll loaded only now; 0 if it cannot be.
int ShowMessageBox(const char* text, const char* caption, UINT style);
