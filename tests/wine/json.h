#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

inline std::wstring Wide(const std::string& text) {
  if (text.empty()) return L"";
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
  return result;
}

// A JSON string literal; every character outside printable ASCII is written as \uXXXX, so
// the record shows exactly which UTF-16 units the program saw.
inline std::string JsonString(const std::wstring& text) {
  std::string json = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      json += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      json += escaped;
    }
  }
  return json + "\"";
}

// Bytes as a JSON string of hex digits, for narrow strings in whatever code page.
inline std::string Hex(const std::string& bytes) {
  std::string hex = "\"";
  for (const char c : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
    hex += digits;
  }
  return hex + "\"";
}
