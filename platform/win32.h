#pragma once

// The one door to the Windows calls: the narrow-character API, nothing more.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
