#pragma once

#include <string>

#include "platform/win32.h"

// Deletes a key with everything below it; 0, or the first failing code unchanged.
LONG RemoveKeyTree(HKEY root, const std::string& path);
