#include "platform/win32.h"

// A play link shows nothing, yet loading user32.dll makes the thread a GUI thread and is a good
// part of a start, so it is loaded only for a box. Only from the system folder: these programs
// are often started from a Downloads folder, where a planted user32.dll may wait.
int ShowMessageBox(const char* text, const char* caption, UINT style) {
  HMODULE user32 = LoadLibraryExA("user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!user32) return 0;
  using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  const auto messageBox =
      reinterpret_cast<MessageBoxFunction>(reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxA")));
  return messageBox ? messageBox(nullptr, text, caption, style) : 0;
}
