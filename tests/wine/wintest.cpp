// The end-to-end tests' hands inside Wine. Arguments after the command are hex-encoded
// UTF-8, so hostile links reach it untouched by any quoting; output is one JSON object a line.
//   dump ROOT PATH                      a key tree with every value's type and exact bytes
//   plant ROOT PATH [NAME DATA]...      creates a key with REG_SZ values ("" names the default)
//   remove ROOT PATH                    deletes a key tree
//   protect ROOT PATH SDDL              gives an existing key the access rules of an SDDL string
//   open [--answers A,B] [--hold MS] [--relay] URL...
//        delivers links the way the platform does: the registered open command with %1
//        replaced, started at once; then answers the message boxes they show (each one
//        after MS milliseconds with --hold, time for a screenshot; traced with --relay)
//   run [same options] COMMANDLINE...  starts command lines and answers their message boxes
#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/wine/json.h"

namespace {

void Print(const std::string& line) {
  DWORD written = 0;
  const std::string text = line + "\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring FromHex(const std::wstring& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16));
  return Wide(bytes);
}

HKEY Root(const std::wstring& name) {
  if (name == L"HKCU") return HKEY_CURRENT_USER;
  if (name == L"HKLM") return HKEY_LOCAL_MACHINE;
  return HKEY_CLASSES_ROOT;
}

void DumpKey(HKEY root, const std::wstring& path, const std::wstring& relative, std::string& json) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  json += std::string(json.back() == '[' ? "" : ", ") + "{\"path\": " + JsonString(relative) + ", \"values\": [";
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384, type = 0, size = 0;
    static BYTE data[1 << 20];
    size = sizeof data;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    json += std::string(i ? ", " : "") + "{\"name\": " + JsonString(name) + ", \"type\": " +
            std::to_string(type) + ", \"size\": " + std::to_string(size) + ", \"data\": " +
            JsonString(std::wstring(reinterpret_cast<wchar_t*>(data), size / 2)) + "}";
  }
  json += "]}";
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  RegCloseKey(key);
  for (const std::wstring& child : children)
    DumpKey(root, path + L"\\" + child, relative.empty() ? child : relative + L"\\" + child, json);
}

std::wstring OpenCommandFor(const std::wstring& url) {
  wchar_t command[32768];
  DWORD size = sizeof command;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Classes\\velmor-player\\shell\\open\\command",
                   nullptr, RRF_RT_REG_SZ, nullptr, command, &size) != ERROR_SUCCESS)
    return L"";
  std::wstring line = command;
  for (size_t at = line.find(L"%1"); at != std::wstring::npos; at = line.find(L"%1", at + url.size()))
    line.replace(at, 2, url);
  return line;
}

struct Search {
  std::set<DWORD> processIds;
  std::set<HWND> handled;
  HWND found = nullptr;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  Search& search = *reinterpret_cast<Search*>(parameter);
  wchar_t className[16];
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (search.processIds.count(processId) && !search.handled.count(window) && IsWindowVisible(window) &&
      GetClassNameW(window, className, 16) && std::wstring(className) == L"#32770") {
    search.found = window;
    return FALSE;
  }
  return TRUE;
}

// Starts the command lines, then answers each message box they show until all have ended.
int Serve(const std::vector<std::wstring>& commandLines, std::vector<int> answers, DWORD hold, bool relay) {
  if (relay) SetEnvironmentVariableW(L"WINEDEBUG", L"+relay");
  std::vector<HANDLE> processes;
  Search search;
  for (const std::wstring& commandLine : commandLines) {
    std::wstring buffer = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
      Print("{\"startFailed\": " + JsonString(commandLine) + ", \"error\": " + std::to_string(GetLastError()) + "}");
      return 1;
    }
    CloseHandle(process.hThread);
    processes.push_back(process.hProcess);
    search.processIds.insert(process.dwProcessId);
  }
  if (relay) SetEnvironmentVariableW(L"WINEDEBUG", nullptr);

  const DWORD deadline = GetTickCount() + 60000;
  while (WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), TRUE, 50) == WAIT_TIMEOUT) {
    if (GetTickCount() > deadline) {
      for (HANDLE process : processes) TerminateProcess(process, 259);
      Print("{\"timeout\": true}");
      return 1;
    }
    search.found = nullptr;
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (!search.found) continue;
    HWND box = search.found;
    search.handled.insert(box);
    wchar_t caption[1024], text[8192];
    GetWindowTextW(box, caption, 1024);
    GetDlgItemTextW(box, 0xFFFF, text, 8192);
    DWORD processId = 0;
    GetWindowThreadProcessId(box, &processId);
    Print("{\"box\": {\"caption\": " + JsonString(caption) + ", \"text\": " + JsonString(text) +
          ", \"yesNo\": " + (GetDlgItem(box, IDYES) ? "true" : "false") + "}}");
    Sleep(hold);
    const int answer = answers.empty() ? IDOK : answers.front();
    if (!answers.empty()) answers.erase(answers.begin());
    PostMessageW(box, WM_COMMAND, answer, 0);
  }
  std::string exits = "{\"exitCodes\": [";
  for (size_t i = 0; i < processes.size(); ++i) {
    DWORD code = 0;
    GetExitCodeProcess(processes[i], &code);
    CloseHandle(processes[i]);
    exits += (i ? ", " : "") + std::to_string(code);
  }
  Print(exits + "]}");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  if ((command == L"dump" || command == L"plant" || command == L"remove" || command == L"protect") && argc >= 4) {
    const HKEY root = Root(argv[2]);
    const std::wstring path = FromHex(argv[3]);
    if (command == L"dump") {
      std::string json = "{\"keys\": [";
      DumpKey(root, path, L"", json);
      Print(json + "]}");
      return 0;
    }
    if (command == L"remove") {
      const LONG result = RegDeleteTreeW(root, path.c_str());
      Print("{\"result\": " + std::to_string(result == ERROR_SUCCESS ? RegDeleteKeyW(root, path.c_str()) : result) + "}");
      return 0;
    }
    HKEY key = nullptr;
    if (command == L"protect" && argc == 5) {
      PSECURITY_DESCRIPTOR rules = nullptr;
      LONG result = RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC, &key);
      if (result == ERROR_SUCCESS && !ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[4], SDDL_REVISION_1, &rules, nullptr))
        result = static_cast<LONG>(GetLastError());
      if (rules) result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, rules);
      LocalFree(rules);
      if (key) RegCloseKey(key);
      Print("{\"result\": " + std::to_string(result) + "}");
      return 0;
    }
    LONG result = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    for (int i = 4; result == ERROR_SUCCESS && i + 1 < argc; i += 2) {
      const std::wstring name = FromHex(argv[i]), data = FromHex(argv[i + 1]);
      result = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(data.c_str()), static_cast<DWORD>((data.size() + 1) * 2));
    }
    if (key) RegCloseKey(key);
    Print("{\"result\": " + std::to_string(result) + "}");
    return 0;
  }
  if (command == L"open" || command == L"run") {
    std::vector<int> answers;
    DWORD hold = 0;
    bool relay = false;
    std::vector<std::wstring> commandLines;
    for (int i = 2; i < argc; ++i) {
      const std::wstring argument = argv[i];
      if (argument == L"--hold" && i + 1 < argc) {
        hold = std::wcstoul(argv[++i], nullptr, 10);
      } else if (argument == L"--relay") {
        relay = true;
      } else if (argument == L"--answers" && i + 1 < argc) {
        for (wchar_t* at = argv[++i]; *at;) {
          answers.push_back(static_cast<int>(std::wcstol(at, &at, 10)));
          if (*at == L',') ++at;
        }
      } else {
        const std::wstring value = FromHex(argument);
        commandLines.push_back(command == L"open" ? OpenCommandFor(value) : value);
      }
    }
    return Serve(commandLines, answers, hold, relay);
  }
  return 2;
}
