// Force-included into the test-only builds of the programs, never into what ships: the
// faults Wine cannot produce, some switched on by an environment variable.
//   VELMORA_SEAM_MODULE_NAME   the name GetModuleFileNameA/W report ("<fail>": they fail)
//   VELMORA_SEAM_UNDELETABLE   a key whose path ends so opens, but will not be deleted
//   VELMORA_SEAM_ACCOUNT       the account the process runs as, unlike the session's user
// Always, as on Windows: a start with a STARTUPINFOA that is not all zero but for its right
// size fails (Windows would pass the mistake on unnoticed); the narrow command line is
// missing, as Windows gives it when its narrow form passes 65,535 bytes; and a DLL load with
// a LOAD_LIBRARY_SEARCH_* flag fails, as on Windows 7 without its loader update.
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

inline DWORD SeamGetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
  const std::string wanted = SeamVariable("VELMORA_SEAM_MODULE_NAME");
  if (wanted.empty()) return GetModuleFileNameW(module, name, size);
  if (wanted == "<fail>") return 0;
  return static_cast<DWORD>(MultiByteToWideChar(CP_UTF8, 0, wanted.c_str(), -1, name, static_cast<int>(size)) - 1);
}

inline BOOL SeamGetUserNameA(LPSTR name, LPDWORD size) {
  const std::string account = SeamVariable("VELMORA_SEAM_ACCOUNT");
  if (account.empty()) return GetUserNameA(name, size);
  std::memcpy(name, account.c_str(), account.size() + 1);
  *size = static_cast<DWORD>(account.size()) + 1;
  return TRUE;
}

inline HMODULE SeamLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  if (flags & 0xFF00) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryExA(name, file, flags);
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
#define GetModuleFileNameW SeamGetModuleFileNameW
#define GetUserNameA SeamGetUserNameA
#define LoadLibraryExA SeamLoadLibraryExA
#define GetCommandLineA() static_cast<LPSTR>(nullptr)
#define RegDeleteKeyA SeamRegDeleteKeyA
#define CreateProcessA SeamCreateProcessA
