#include "platform/win32.h"

#include <wtsapi32.h>

// Only from the system folder: these programs are often started from a Downloads folder,
// where a planted DLL of the same name may wait. By full path rather than with
// LOAD_LIBRARY_SEARCH_SYSTEM32, which Windows 7 without its loader update rejects.
HMODULE LoadSystemLibrary(const char* name) {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return LoadLibraryExA((std::string(folder, length) + "\\" + name).c_str(), nullptr, 0);
}

namespace {

// A function of a DLL loaded at run time, as its own type; null if the DLL lacks it.
template <typename Function>
Function Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

// A play link shows nothing, yet loading user32.dll makes the thread a GUI thread and is a
// good part of a start, so it is loaded only for a box.
int ShowMessageBox(const char* text, const char* caption, UINT style) {
  HMODULE user32 = LoadSystemLibrary("user32.dll");
  if (!user32) return 0;
  const auto messageBox = Find<int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT)>(user32, "MessageBoxA");
  return messageBox ? messageBox(nullptr, text, caption, style) : 0;
}

constexpr LONG kAssociationChanged = 0x08000000;  // SHCNE_ASSOCCHANGED, with no item list

void NotifyAssociationChanged() {
  HMODULE shell32 = LoadSystemLibrary("shell32.dll");
  if (!shell32) return;
  const auto notify = Find<void(WINAPI*)(LONG, UINT, LPCVOID, LPCVOID)>(shell32, "SHChangeNotify");
  if (notify) notify(kAssociationChanged, 0, nullptr, nullptr);
}

// Both programs work on HKEY_CURRENT_USER, which is the account the process runs as. Started
// with "Run as administrator" and another account's password, that is the administrator's,
// not the signed-in user's, who would be told of a registration made or removed elsewhere.
std::string OtherAccountName() {
  HMODULE wtsapi32 = LoadSystemLibrary("wtsapi32.dll");
  if (!wtsapi32) return "";
  const auto query =
      Find<BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPSTR*, DWORD*)>(wtsapi32, "WTSQuerySessionInformationA");
  const auto release = Find<void(WINAPI*)(PVOID)>(wtsapi32, "WTSFreeMemory");
  char own[256 + 1];
  DWORD ownLength = sizeof own;
  LPSTR session = nullptr;
  DWORD sessionBytes = 0;
  if (!query || !release || !GetUserNameA(own, &ownLength) ||
      !query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &session, &sessionBytes))
    return "";
  const bool same = !session[0] || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, own, -1, session, -1) == CSTR_EQUAL;
  release(session);
  return same ? "" : own;
}

std::string ToUtf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "";
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}
