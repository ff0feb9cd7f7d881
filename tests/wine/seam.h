// Force-included into the test-only builds of the programs, never into what ships: the
// faults Wine cannot produce, each switched on by an environment variable.
//   VELMORA_SEAM_MODULE_NAME   the name GetModuleFileNameA reports ("<fail>": it fails)
//   VELMORA_SEAM_UNDELETABLE   a key whose path ends so opens, but will not be deleted
// A start with a STARTUPINFOA that is not all zero but for its right size fails, where
// Windows would pass the mistake on unnoticed.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>

inline std::string SeamVariable(const char* name) {
  char value[32768];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length ? std::string(value, length) : std::string();
}

inline DWORD SeamGetModuleFileNameA(HMODULE module, LPSTR name, DWORD size) {
  const std::string wanted = SeamVariable("VELMORA_SEAM_MODULE_NAME");
  if (wanted.empty()) return GetModuleFileNameA(module, name, size);
  if (wanted == "<fail>" || size == 0) return 0;
  const DWORD length = wanted.size() < size ? static_cast<DWORD>(wanted.size()) : size - 1;
  std::memcpy(name, wanted.data(), length);
  name[length] = '\0';
  return length;
}

inline LONG SeamRegDeleteKeyA(HKEY root, LPCSTR path) {
  const std::string ending = SeamVariable("VELMORA_SEAM_UNDELETABLE");
  const std::string key = path;
  if (!ending.empty() && key.size() >= ending.size() && key.compare(key.size() - ending.size(), ending.size(), ending) == 0)
    return ERROR_ACCESS_DENIED;
  return RegDeleteKeyA(root, path);
}

inline BOOL SeamCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                               LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information) {
  if (startup->cb != sizeof(STARTUPINFOA) || startup->dwFlags || startup->lpDesktop || startup->lpTitle ||
      startup->lpReserved || startup->cbReserved2 || startup->lpReserved2) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return CreateProcessA(application, commandLine, process, thread, inherit, flags, environment, directory, startup,
                        information);
}

#define GetModuleFileNameA SeamGetModuleFileNameA
#define RegDeleteKeyA SeamRegDeleteKeyA
#define CreateProcessA SeamCreateProcessA
