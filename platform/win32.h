#pragma once

// The one door to the Windows calls. A Windows build gets the real narrow-character API;
// the host build gets the in-memory emulation in emulation.cpp, chosen when linking.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/emulated_windows.h"
#endif
