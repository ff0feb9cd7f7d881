#pragma once

// The test programs' output: JSON whose strings are hex digits, of UTF-8 for Unicode text
// and of the bytes themselves for narrow text, so that no quoting ever stands in the way.
#include <windows.h>

#include <cstdio>
#include <string>

inline std::string Hex(const std::string& bytes) {
  std::string hex = "\"";
  for (const char c : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
    hex += digits;
  }
  return hex + "\"";
}

inline std::string Hex(const std::wstring& text) {
  std::string bytes(text.size() * 3, '\0');
  bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                   static_cast<int>(bytes.size()), nullptr, nullptr));
  return Hex(bytes);
}
