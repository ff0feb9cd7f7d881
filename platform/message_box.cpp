#include "platform/win32.h"

// Only from the system folder: these programs are often started from a Downloads folder,
// where a planted DLL of the same name may wait. By full path rather than with
// LOAD_LIBRARY_SEARCH_SYSTEM32, which Windows 7 without its loader update rejects.
HMODULE LoadSystemLibrary(const char* name) {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return LoadLibraryExA((std::string(folder, length) + "\\" + name).c_str(), nullptr, 0);
}

// A play link shows nothing, yet loading user32.dll makes the thread a GUI thread and is a
// good part of a start, so it is loaded only for a box.
int ShowMessageBox(const char* text, const char* caption, UINT style) {
  HMODULE user32 = LoadSystemLibrary("user32.dll");
  if (!user32) return 0;
  using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  const auto messageBox =
      reinterpret_cast<MessageBoxFunction>(reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxA")));
  return messageBox ? messageBox(nullptr, text, caption, style) : 0;
}
