// The end-to-end tests' hands inside Wine. Arguments after the command are hex-encoded
// UTF-16, so hostile links reach it untouched by any quoting; output is one JSON line.
//   dump ROOT PATH                   a key tree: {"relative path": {"name": [type, data]}}
//   plant ROOT PATH [NAME DATA]...   creates a key with REG_SZ values ("" names the default)
//   protect ROOT PATH SDDL           gives an existing key the access rules of an SDDL string
//   remove ROOT PATH [ROOT PATH]...  deletes key trees
//   link PATH TARGET                 makes HKCU\PATH a registry link to HKCU\TARGET
//   verify FILE                      what WinVerifyTrust says of a file's Authenticode signature
//   short PATH                       the path's short (8.3) form: {"path": ...}
//   run [--answers A,B] [--hold MS] [--env NAME=HEX]... COMMANDLINE...
//        starts the command lines at once, with Wine's relay and module traces on, and answers the
//        Yes/No boxes they show, others with OK (each after MS milliseconds: time for a screenshot); a command
//        line after --shell is opened with ShellExecuteExW instead, as a browser opens a link
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "winehost/json.h"

namespace {

void Print(const std::string& line) {
  DWORD written = 0;
  const std::string text = line + "\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Input is UTF-16 as hex digits, four a unit in little-endian order: any text a Windows
// command line can hold, a lone surrogate included.
std::wstring FromHex(const std::wstring& hex) {
  std::wstring text;
  for (size_t i = 0; i + 3 < hex.size(); i += 4)
    text += static_cast<wchar_t>(std::wcstoul((hex.substr(i + 2, 2) + hex.substr(i, 2)).c_str(), nullptr, 16));
  return text;
}

HKEY Root(const std::wstring& name) {
  if (name == L"HKCU") return HKEY_CURRENT_USER;
  if (name == L"HKLM") return HKEY_LOCAL_MACHINE;
  return HKEY_CLASSES_ROOT;
}

void Dump(HKEY root, const std::wstring& path, const std::wstring& relative, std::string& json) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  json += (json.size() > 1 ? ", " : "") + Hex(relative) + ": {";
  static BYTE data[1 << 20];
  wchar_t name[16384];
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = 16384, type = 0, size = sizeof data;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    json += std::string(i ? ", " : "") + Hex(name) + ": [" + std::to_string(type) + ", " +
            Hex(std::string(reinterpret_cast<char*>(data), size)) + "]";
  }
  json += "}";
  std::vector<std::wstring> children;
  for (DWORD nameLength = 256; RegEnumKeyExW(key, static_cast<DWORD>(children.size()), name, &nameLength,
                                             nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       nameLength = 256)
    children.push_back(name);
  RegCloseKey(key);
  for (const std::wstring& child : children)
    Dump(root, path + L"\\" + child, relative.empty() ? child : relative + L"\\" + child, json);
}

LONG Plant(HKEY root, const std::wstring& path, const std::vector<std::wstring>& values, size_t first) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  for (size_t i = first; result == ERROR_SUCCESS && i + 1 < values.size(); i += 2) {
    const std::wstring name = FromHex(values[i]), data = FromHex(values[i + 1]);
    result = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()), static_cast<DWORD>((data.size() + 1) * 2));
  }
  if (key) RegCloseKey(key);
  return result;
}

LONG Protect(HKEY root, const std::wstring& path, const wchar_t* sddl) {
  HKEY key = nullptr;
  PSECURITY_DESCRIPTOR rules = nullptr;
  LONG result = RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC, &key);
  if (result == ERROR_SUCCESS && !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &rules, nullptr))
    result = static_cast<LONG>(GetLastError());
  if (rules) result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, rules);
  LocalFree(rules);
  if (key) RegCloseKey(key);
  return result;
}

// Deletes a key tree, each key as itself: a registry link goes, never what it links to.
void Remove(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE, &key) != ERROR_SUCCESS) return;
  DWORD type = 0;
  if (RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS || type != REG_LINK) {
    wchar_t name[256];
    for (DWORD length = 256; RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         length = 256) {
      const std::wstring child = path + L"\\" + name;
      Remove(root, child);
      HKEY left = nullptr;
      if (RegOpenKeyExW(root, child.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &left) == ERROR_SUCCESS) {
        RegCloseKey(left);
        break;  // it will not go: leave the rest too
      }
    }
  }
  using DeleteKeyFunction = LONG(WINAPI*)(HANDLE);
  const auto deleteKey = reinterpret_cast<DeleteKeyFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  deleteKey(key);
  RegCloseKey(key);
}

// A link's target is a native path: \Registry\User\<the user's SID>\...
LONG Link(const std::wstring& path, const std::wstring& target) {
  HANDLE token = nullptr;
  BYTE user[256];
  DWORD size = sizeof user;
  wchar_t* sid = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenUser, user, size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid))
    return static_cast<LONG>(GetLastError());
  CloseHandle(token);
  const std::wstring native = L"\\Registry\\User\\" + std::wstring(sid) + L"\\" + target;
  LocalFree(sid);
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                KEY_WRITE | KEY_CREATE_LINK, nullptr, &key, nullptr);
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(native.data()),
                            static_cast<DWORD>(native.size() * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  return result;
}

struct Search {
  std::set<DWORD> processIds;
  std::vector<DWORD> started;
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

// One program started, as a command line or as a link opened the way the shell opens it; its
// process handle, or null.
HANDLE Start(std::wstring& commandLine, bool shell) {
  if (shell) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = commandLine.c_str();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) ? info.hProcess : nullptr;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Starts the command lines, then answers each message box they show until all have ended.
std::string Run(const std::vector<std::wstring>& commandLines, std::vector<int> answers, DWORD hold, bool shell) {
  // Windows waits for at most this many processes at once; past it the wait fails at once.
  if (commandLines.size() > MAXIMUM_WAIT_OBJECTS) return "{\"tooMany\": " + std::to_string(commandLines.size()) + "}";
  // Wine records the system's code page, from the Unix locale, only for a process started from
  // Unix: where drivers of several locales take turns, the programs must find their own there.
  const std::wstring codePage = std::to_wstring(GetACP());
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", L"ACP", REG_SZ,
                  codePage.c_str(), static_cast<DWORD>((codePage.size() + 1) * sizeof(wchar_t)));
  SetEnvironmentVariableW(L"WINEDEBUG", L"+pid,+relay,+loaddll");
  std::vector<HANDLE> processes;
  Search search;
  for (std::wstring commandLine : commandLines) {
    HANDLE started = nullptr;
    // A loaded machine may refuse a process for a moment: three tries, half a second apart, and
    // the error of the last, before the run is reported as not started. A link is opened once:
    // the shell may have started its handler without a handle to give back.
    for (int attempt = 0; attempt < (shell ? 1 : 3) && !started; ++attempt) {
      if (attempt > 0) Sleep(500);
      started = Start(commandLine, shell);
    }
    if (!started) return "{\"startFailed\": " + Hex(commandLine) + ", \"error\": " + std::to_string(GetLastError()) + "}";
    processes.push_back(started);
    search.processIds.insert(GetProcessId(started));
    search.started.push_back(GetProcessId(started));
  }
  SetEnvironmentVariableW(L"WINEDEBUG", nullptr);

  std::string boxes;
  // Generous, for a loaded machine: a program that outlives it is ended and reported.
  const DWORD deadline = GetTickCount() + 300000;
  while (WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), TRUE, 20) == WAIT_TIMEOUT) {
    if (GetTickCount() > deadline) {
      for (HANDLE process : processes) TerminateProcess(process, 259);
      return "{\"timeout\": true}";
    }
    search.found = nullptr;
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (!search.found) continue;
    const HWND box = search.found;
    search.handled.insert(box);
    wchar_t caption[1024], text[8192];
    GetWindowTextW(box, caption, 1024);
    GetDlgItemTextW(box, 0xFFFF, text, 8192);
    const bool yesNo = GetDlgItem(box, IDYES) != nullptr;
    boxes += std::string(boxes.empty() ? "" : ", ") + "[" + Hex(caption) + ", " + Hex(text) + ", " +
             (yesNo ? "true" : "false") + "]";
    Print("{\"box\": true}");
    Sleep(hold);
    // The answers go to the questions, in the order they appear; every other box is closed.
    const int answer = yesNo && !answers.empty() ? answers.front() : IDOK;
    if (yesNo && !answers.empty()) answers.erase(answers.begin());
    PostMessageW(box, WM_COMMAND, answer, 0);
  }
  std::string exits, pids;
  for (const DWORD processId : search.started) pids += (pids.empty() ? "" : ", ") + std::to_string(processId);
  for (HANDLE process : processes) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    exits += (exits.empty() ? "" : ", ") + std::to_string(code);
  }
  return "{\"boxes\": [" + boxes + "], \"exitCodes\": [" + exits + "], \"pids\": [" + pids + "]}";
}

LONG Verify(const wchar_t* path) {
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(nullptr, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(nullptr, &action, &data);
  return result;
}

// One command, its words as on a command line; false for one it does not know.
bool Dispatch(std::vector<std::wstring> words) {
  const size_t count = words.size();
  const std::wstring command = count > 0 ? words[0] : L"";
  if (command == L"run") {
    std::vector<int> answers;
    DWORD hold = 0;
    bool shell = false;
    std::vector<std::wstring> commandLines, variables;
    for (size_t i = 1; i < count; ++i) {
      const std::wstring& word = words[i];
      if (word == L"--shell") {
        shell = true;
      } else if (word == L"--hold" && i + 1 < count) {
        hold = std::wcstoul(words[++i].c_str(), nullptr, 10);
      } else if (word == L"--env" && i + 1 < count) {  // NAME=HEX, for the programs it starts
        const std::wstring& setting = words[++i];
        const std::wstring name = setting.substr(0, setting.find(L'='));
        const std::wstring value = FromHex(setting.substr(setting.find(L'=') + 1));
        SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
        variables.push_back(name);
      } else if (word == L"--answers" && i + 1 < count) {
        for (const wchar_t* at = words[++i].c_str(); *at; at += *at == L',') {
          wchar_t* end = nullptr;
          answers.push_back(static_cast<int>(std::wcstol(at, &end, 10)));
          at = end;
        }
      } else {
        commandLines.push_back(FromHex(word));
      }
    }
    Print(Run(commandLines, answers, hold, shell));
    for (const std::wstring& name : variables) SetEnvironmentVariableW(name.c_str(), nullptr);
  } else if (command == L"verify" && count == 2) {
    Print("{\"result\": " + std::to_string(static_cast<unsigned long>(Verify(FromHex(words[1]).c_str()))) + "}");
  } else if (command == L"short" && count == 2) {
    wchar_t path[32768];
    const DWORD length = GetShortPathNameW(FromHex(words[1]).c_str(), path, 32768);
    Print("{\"path\": " + Hex(std::wstring(path, length < 32768 ? length : 0)) + "}");
  } else if (command == L"link" && count == 3) {
    Print("{\"result\": " + std::to_string(Link(FromHex(words[1]), FromHex(words[2]))) + "}");
  } else if (command == L"remove") {  // remove ROOT PATH [ROOT PATH]...
    for (size_t i = 1; i + 1 < count; i += 2) Remove(Root(words[i]), FromHex(words[i + 1]));
    Print("{}");
  } else if (count >= 3 && command == L"dump") {
    std::string json = "{";
    Dump(Root(words[1]), FromHex(words[2]), L"", json);
    Print(json + "}");
  } else if (count >= 3 && command == L"plant") {
    Print("{\"result\": " + std::to_string(Plant(Root(words[1]), FromHex(words[2]), words, 3)) + "}");
  } else if (count == 4 && command == L"protect") {
    Print("{\"result\": " + std::to_string(Protect(Root(words[1]), FromHex(words[2]), words[3].c_str())) + "}");
  } else {
    return false;
  }
  return true;
}

}  // namespace

// wintest COMMAND ARGUMENTS..., or wintest serve: commands one a line on standard input, each
// answered by its output and a line "END", so that one driver process serves a whole run.
int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || std::wstring(argv[1]) != L"serve") return Dispatch(std::vector<std::wstring>(argv + 1, argv + argc)) ? 0 : 2;
  std::string pending;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &read, nullptr) && read > 0) {
    pending.append(chunk, read);
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      // One blank between words; an empty word (an empty name, hex-encoded) stays a word.
      std::vector<std::wstring> words;
      for (size_t at = 0; at <= end;) {
        const size_t stop = std::min(pending.find(' ', at), end);
        words.emplace_back(pending.begin() + static_cast<long>(at), pending.begin() + static_cast<long>(stop));
        at = stop + 1;
      }
      if (!Dispatch(words)) Print("{\"unknown\": true}");
      Print("END");
    }
  }
  return 0;
}
