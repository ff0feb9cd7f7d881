// Times, inside Wine, how long a play link takes from being opened the way the platform
// opens it (the registered open command with %1 replaced) to the client process running,
// for the launcher and for the baseline that only starts the same client. The two
// alternate, so that both see the same machine; prints one JSON line of times in ms.
//   bench RUNS LINK CLIENT_COMMAND_LINE
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Starts a command line and returns the time until the client says it is up, or -1.
double TimeToClient(std::wstring commandLine, HANDLE clientStarted) {
  ResetEvent(clientStarted);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  LARGE_INTEGER start, up;
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  const bool started = WaitForSingleObject(clientStarted, 30000) == WAIT_OBJECT_0;
  QueryPerformanceCounter(&up);
  WaitForSingleObject(process.hProcess, 30000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return started ? Milliseconds(start, up) : -1;
}

std::string List(const std::vector<double>& times) {
  std::string text;
  for (double t : times) {
    char number[32];
    std::snprintf(number, sizeof number, "%s%.3f", text.empty() ? "" : ", ", t);
    text += number;
  }
  return "[" + text + "]";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const int runs = _wtoi(argv[1]);
  wchar_t command[32768];
  DWORD size = sizeof command;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Classes\\velmor-player\\shell\\open\\command", nullptr,
                   RRF_RT_REG_SZ, nullptr, command, &size) != ERROR_SUCCESS)
    return 3;
  std::wstring launcher = command;
  launcher.replace(launcher.find(L"%1"), 2, argv[2]);
  std::wstring folder = launcher.substr(1, launcher.find(L"VelmoraPlayer.exe") - 1);
  const std::wstring baseline = L"\"" + folder + L"baseline.exe\" " + argv[3];

  HANDLE clientStarted = CreateEventW(nullptr, TRUE, FALSE, L"VelmoraBenchClientStarted");
  std::vector<double> launcherTimes, baselineTimes;
  for (int i = 0; i < runs; ++i) {
    launcherTimes.push_back(TimeToClient(launcher, clientStarted));
    baselineTimes.push_back(TimeToClient(baseline, clientStarted));
  }
  CloseHandle(clientStarted);
  std::printf("{\"launcher\": %s, \"baseline\": %s}\n", List(launcherTimes).c_str(), List(baselineTimes).c_str());
  return 0;
}
