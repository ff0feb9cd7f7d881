// The benchmark's baseline: a program that does nothing but start the client, taking
// everything after its own name on its command line as the client's command line.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t* tail = GetCommandLineW();
  const wchar_t end = *tail == L'"' ? L'"' : L' ';
  for (++tail; *tail && *tail != end; ++tail) {
  }
  if (*tail == L'"') ++tail;
  while (*tail == L' ') ++tail;
  std::wstring commandLine = tail;  // CreateProcessW may write into its command line
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return 1;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return 0;
}
