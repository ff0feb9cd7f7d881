// Force-included into the test-only builds of the programs, never into what ships: the
// faults Wine cannot produce, some switched on by an environment variable.
//   VELMORA_SEAM_MODULE_NAME   the name GetModuleFileNameW reports ("<fail>": it fails;
//                              "<crash>": the program crashes there)
//   VELMORA_SEAM_UNDELETABLE   a key whose path ends so opens, but will not be deleted
//   VELMORA_SEAM_ACCOUNT       the account the process runs as
//   VELMORA_SEAM_SESSION_USER  the account signed in to the process's session ("-": none; Wine's
//                              is always the process's own); other sessions are someone else's
//   VELMORA_SEAM_SESSION       the session the process runs in (0: a service's)
//   VELMORA_SEAM_NO_SHORT_NAMES  set: the volume makes no short (8.3) names
//   VELMORA_SEAM_VANISHES      a key whose path ends so is removed by someone else just
//                              before the removal opens it
//   VELMORA_SEAM_MERGED        the class root opens and deletes the user's own classes over the
//                              machine's, as Windows merges them (Wine's is the machine's alone)
// Always: a start with a STARTUPINFOA that is not all zero but for its right size fails
// (Windows would pass the mistake on unnoticed).
#pragma once
#include <windows.h>
#include <wtsapi32.h>

#include <cstdlib>
#include <cstring>
#include <string>

inline std::string SeamVariable(const char* name) {
  char value[32768];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length ? std::string(value, length) : std::string();
}

inline DWORD SeamGetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
  const std::string wanted = SeamVariable("VELMORA_SEAM_MODULE_NAME");
  if (wanted.empty()) return GetModuleFileNameW(module, name, size);
  if (wanted == "<fail>") return 0;
  if (wanted == "<crash>") RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  return static_cast<DWORD>(MultiByteToWideChar(CP_UTF8, 0, wanted.c_str(), -1, name, static_cast<int>(size)) - 1);
}

inline bool SeamEndsWith(const std::string& text, const std::string& ending) {
  return !ending.empty() && text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

inline BOOL SeamGetUserNameW(LPWSTR name, LPDWORD size) {
  wchar_t account[257];
  const DWORD length = GetEnvironmentVariableW(L"VELMORA_SEAM_ACCOUNT", account, 257);
  if (length == 0 || length >= 257) return GetUserNameW(name, size);
  std::memcpy(name, account, (length + 1) * sizeof(wchar_t));
  *size = length + 1;
  return TRUE;
}

inline BOOL SeamProcessIdToSessionId(DWORD process, DWORD* session) {
  // Only this process's own session is set; any other process's is Wine's answer.
  const std::string wanted = SeamVariable("VELMORA_SEAM_SESSION");
  if (wanted.empty() || process != GetCurrentProcessId()) return ProcessIdToSessionId(process, session);
  *session = static_cast<DWORD>(std::strtoul(wanted.c_str(), nullptr, 10));
  return TRUE;
}

// Only the process's own session is signed in as VELMORA_SEAM_SESSION_USER: any other, such as
// the console's while the process runs under Remote Desktop, is someone else's.
inline BOOL WINAPI SeamWTSQuerySessionInformationW(HANDLE /*server*/, DWORD session, WTS_INFO_CLASS /*what*/,
                                                   LPWSTR* buffer, DWORD* bytes) {
  static wchar_t user[257];
  DWORD own = 0;
  if (session == WTS_CURRENT_SESSION || (SeamProcessIdToSessionId(GetCurrentProcessId(), &own) && session == own))
    GetEnvironmentVariableW(L"VELMORA_SEAM_SESSION_USER", user, 257);
  else
    lstrcpyW(user, L"Someone Else");
  *bytes = (lstrlenW(user) + 1) * sizeof(wchar_t);
  if (lstrcmpW(user, L"-") == 0) user[0] = L'\0';
  *buffer = user;
  return TRUE;
}

inline void WINAPI SeamWTSFreeMemory(PVOID /*memory*/) {}

inline FARPROC SeamGetProcAddress(HMODULE module, LPCSTR name) {
  if (!SeamVariable("VELMORA_SEAM_SESSION_USER").empty()) {
    if (std::strcmp(name, "WTSQuerySessionInformationW") == 0)
      return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SeamWTSQuerySessionInformationW));
    if (std::strcmp(name, "WTSFreeMemory") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SeamWTSFreeMemory));
  }
  return GetProcAddress(module, name);
}

inline DWORD SeamGetShortPathNameW(LPCWSTR path, LPWSTR shortPath, DWORD size) {
  if (SeamVariable("VELMORA_SEAM_NO_SHORT_NAMES").empty()) return GetShortPathNameW(path, shortPath, size);
  const DWORD length = lstrlenW(path);
  if (length >= size) return length + 1;
  std::memcpy(shortPath, path, (length + 1) * sizeof(wchar_t));
  return length;
}

// Where the merged class root has a key: the user's own classes, where it is there, else the
// machine's. Opening and deleting through the class root both go there.
inline bool SeamInUserClasses(HKEY root, LPCSTR path, std::string& userPath) {
  userPath = std::string("Software\\Classes\\") + path;
  HKEY key = nullptr;
  if (root != HKEY_CLASSES_ROOT || SeamVariable("VELMORA_SEAM_MERGED").empty() ||
      RegOpenKeyExA(HKEY_CURRENT_USER, userPath.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &key) != 0)
    return false;
  RegCloseKey(key);
  return true;
}

inline LONG SeamRegOpenKeyExA(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
  if (SeamEndsWith(path, SeamVariable("VELMORA_SEAM_VANISHES"))) RegDeleteKeyA(root, path);
  std::string userPath;
  if (SeamInUserClasses(root, path, userPath)) return RegOpenKeyExA(HKEY_CURRENT_USER, userPath.c_str(), options, access, key);
  return RegOpenKeyExA(root, path, options, access, key);
}

inline LONG SeamRegDeleteKeyA(HKEY root, LPCSTR path) {
  if (SeamEndsWith(path, SeamVariable("VELMORA_SEAM_UNDELETABLE"))) return ERROR_ACCESS_DENIED;
  std::string userPath;
  if (SeamInUserClasses(root, path, userPath)) return RegDeleteKeyA(HKEY_CURRENT_USER, userPath.c_str());
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

#define GetModuleFileNameW SeamGetModuleFileNameW
#define GetUserNameW SeamGetUserNameW
#define GetProcAddress SeamGetProcAddress
#define ProcessIdToSessionId SeamProcessIdToSessionId
#define GetShortPathNameW SeamGetShortPathNameW
#define RegOpenKeyExA SeamRegOpenKeyExA
#define RegDeleteKeyA SeamRegDeleteKeyA
#define CreateProcessA SeamCreateProcessA
