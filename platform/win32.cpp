#include "platform/win32.h"

#include <shlobj.h>
#include <wtsapi32.h>

namespace {

// Only from the system folder: these programs are often started from a Downloads folder,
// where a planted DLL of the same name may wait. By full path rather than with
// LOAD_LIBRARY_SEARCH_SYSTEM32, which Windows 7 without its loader update rejects; the
// altered search path makes the DLLs that one imports come from its own folder too, not
// from ours first.
HMODULE LoadSystemLibrary(const char* name) {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return LoadLibraryExA((std::string(folder, length) + "\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// A function of a DLL loaded at run time, typed by the system's own declaration of it, so
// that no calling convention or argument can be got wrong; null if the DLL lacks it.
template <typename Function>
Function* Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Services, and whatever runs as SYSTEM outside a user's session, live in session 0, whose
// desktop nobody sees: a box there would wait for an answer that never comes.
bool NobodyCanSeeBoxes() {
  DWORD session = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

}  // namespace

// A play link shows nothing, yet loading user32.dll makes the thread a GUI thread and is a
// good part of a start, so it is loaded only for a box.
int ShowMessageBox(const char* text, const char* caption, UINT style) {
  if (NobodyCanSeeBoxes()) return 0;
  HMODULE user32 = LoadSystemLibrary("user32.dll");
  if (!user32) return 0;
  const auto messageBox = Find<decltype(::MessageBoxA)>(user32, "MessageBoxA");
  return messageBox ? messageBox(nullptr, text, caption, style) : 0;
}

void NotifyAssociationChanged() {
  HMODULE shell32 = LoadSystemLibrary("shell32.dll");
  if (!shell32) return;
  const auto notify = Find<decltype(::SHChangeNotify)>(shell32, "SHChangeNotify");
  if (notify) notify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

// Both programs work on HKEY_CURRENT_USER, which is the account the process runs as. Started
// with "Run as administrator" and another account's password, that is the administrator's,
// not the signed-in user's, who would be told of a registration made or removed elsewhere.
// Windows compares account names in Unicode without regard to case: through a legacy code
// page, names of one account could differ and names of two could match.
std::string OtherAccountName() {
  HMODULE wtsapi32 = LoadSystemLibrary("wtsapi32.dll");
  if (!wtsapi32) return "";
  const auto query = Find<decltype(::WTSQuerySessionInformationW)>(wtsapi32, "WTSQuerySessionInformationW");
  const auto release = Find<decltype(::WTSFreeMemory)>(wtsapi32, "WTSFreeMemory");
  wchar_t own[256 + 1];
  DWORD ownLength = 256 + 1;
  LPWSTR session = nullptr;
  DWORD sessionBytes = 0;
  if (!query || !release || !GetUserNameW(own, &ownLength) ||
      !query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &session, &sessionBytes))
    return "";
  const bool same = !session[0] || CompareStringOrdinal(own, -1, session, -1, TRUE) == CSTR_EQUAL;
  release(session);
  return same ? "" : ToNarrow(own, CP_ACP);
}

std::string ToNarrow(const wchar_t* text, UINT codePage) {
  const DWORD strict = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0;
  const int size = WideCharToMultiByte(codePage, strict, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "";
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, strict, text, -1, narrow.data(), size, nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}
