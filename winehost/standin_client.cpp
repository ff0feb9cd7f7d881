// Stands in for the game client in the end-to-end tests and the benchmark: records how it was started into
// client-<pid>.json beside itself, written under a temporary name and then renamed, so a
// test never reads half a record. Like a legacy client, it has a narrow entry point and no
// manifest, so it runs in the system's legacy code page: it records both the Unicode view
// of its command line and the narrow one, split by the C runtime's rules. It splits the
// narrow line itself: Wine's C runtime builds __argv from the Unicode split, where a real
// legacy client's runtime splits the best-fitted narrow line.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "winehost/json.h"

namespace {

// Splits a command line as CommandLineToArgvW and the C runtime do: the program name runs
// to its closing quote (or the first blank) with no escapes; after it, blanks and tabs
// separate arguments outside quotes, 2n backslashes before a quote give n and the quote
// opens or closes quoting, 2n+1 give n and a literal quote, other backslashes stand for
// themselves, and inside quotes a doubled quote gives one literal quote.
std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  std::string program;
  if (i < line.size() && line[i] == '"') {
    for (++i; i < line.size() && line[i] != '"'; ++i) program += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; ++i) program += line[i];
  }
  arguments.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        size_t count = 0;
        while (i < line.size() && line[i] == '\\') ++count, ++i;
        if (i < line.size() && line[i] == '"') {
          argument.append(count / 2, '\\');
          if (count % 2 == 1) argument += '"', ++i;
        } else {
          argument.append(count, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          argument += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument += line[i++];
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Under the benchmark, being up is all that counts: say so and leave no record.
  if (HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"VelmoraBenchClientStarted")) {
    SetEvent(started);
    CloseHandle(started);
    return 0;
  }
  const std::wstring commandLine = GetCommandLineW();
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
  std::string json = "{\"commandLine\": " + Hex(commandLine) + ", \"argv\": [";
  for (int i = 0; i < count; ++i) json += (i ? ", " : "") + Hex(argv[i]);
  LocalFree(argv);
  json += "], \"ansiCommandLine\": " + Hex(GetCommandLineA()) + ", \"ansiArgv\": [";
  const std::vector<std::string> ansiArgv = Split(GetCommandLineA());
  for (size_t i = 0; i < ansiArgv.size(); ++i) json += (i ? ", " : "") + Hex(ansiArgv[i]);
  wchar_t directory[32768];
  GetCurrentDirectoryW(32768, directory);
  json += "], \"currentDirectory\": " + Hex(directory) + "}\n";

  wchar_t self[32768];
  const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring folder(self, length);
  folder.resize(folder.find_last_of(L'\\') + 1);
  const std::wstring name = folder + L"client-" + std::to_wstring(GetCurrentProcessId());
  HANDLE file = CreateFileW((name + L".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
  CloseHandle(file);
  MoveFileW((name + L".tmp").c_str(), (name + L".json").c_str());
  return 0;
}
