// In-memory stand-in for the Windows calls the programs make, so that their whole run can
// be tested natively. It follows the documented behaviour the programs rely on: registry
// key names compare without regard to case, a key with subkeys cannot be deleted, and a
// module file name that does not fit is cut the way Wine cuts it (size - 1, no error).
#include "platform/emulation.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <utility>

namespace {

struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
  }
};

struct Key {
  std::map<std::string, Key, NoCase> subkeys;
  std::map<std::string, emu::RegistryValue, NoCase> values;
};

struct OpenKey {
  HKEY root;
  std::string path;
};

using KeyId = std::pair<HKEY, std::string>;

struct KeyIdLess {
  bool operator()(const KeyId& a, const KeyId& b) const {
    if (a.first != b.first) return a.first < b.first;
    return NoCase()(a.second, b.second);
  }
};

struct Machine {
  std::map<HKEY, Key> roots;
  std::map<HKEY, OpenKey> openKeys;
  std::map<KeyId, LONG, KeyIdLess> openFailures;
  std::map<KeyId, LONG, KeyIdLess> deleteFailures;
  std::vector<emu::RegistryCall> registryCalls;
  std::vector<int> answers;
  std::vector<emu::MessageBoxCall> messageBoxes;
  std::vector<emu::ProcessStart> processStarts;
  std::set<HANDLE> openHandles;
  std::uintptr_t nextHandle = 0x1000;
  bool failProcessCreation = false;
  std::string moduleFileName;
  bool failModuleFileName = false;
  std::string commandLine;
};

Machine machine;

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> names;
  std::string name;
  for (char c : path + '\\') {
    if (c != '\\') {
      name += c;
    } else if (!name.empty()) {
      names.push_back(name);
      name.clear();
    }
  }
  return names;
}

std::string JoinPath(const std::string& parent, const std::string& child) {
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + '\\' + child;
}

// The root and full path that a key argument plus a subkey path name.
bool Resolve(HKEY key, const char* subKey, OpenKey& where) {
  std::string sub = subKey ? subKey : "";
  if (IsPredefined(key)) {
    where = {key, sub};
    return true;
  }
  auto open = machine.openKeys.find(key);
  if (open == machine.openKeys.end()) return false;
  where = {open->second.root, JoinPath(open->second.path, sub)};
  return true;
}

Key* FindKey(HKEY root, const std::string& path) {
  Key* key = &machine.roots[root];
  for (const std::string& name : SplitPath(path)) {
    auto child = key->subkeys.find(name);
    if (child == key->subkeys.end()) return nullptr;
    key = &child->second;
  }
  return key;
}

Key& MakeKey(HKEY root, const std::string& path) {
  Key* key = &machine.roots[root];
  // cppcheck-suppress useStlAlgorithm ; a walk down the tree reads plainer as a loop
  for (const std::string& name : SplitPath(path)) key = &key->subkeys[name];
  return *key;
}

HKEY NewKeyHandle(const OpenKey& where) {
  HKEY handle = reinterpret_cast<HKEY>(machine.nextHandle++);
  machine.openKeys[handle] = where;
  return handle;
}

LONG InjectedOpenFailure(const OpenKey& where) {
  auto failure = machine.openFailures.find({where.root, where.path});
  return failure == machine.openFailures.end() ? ERROR_SUCCESS : failure->second;
}

bool IsZeroBeyondSize(const STARTUPINFOA& s) {
  return s.lpReserved == nullptr && s.lpDesktop == nullptr && s.lpTitle == nullptr && s.dwX == 0 && s.dwY == 0 &&
         s.dwXSize == 0 && s.dwYSize == 0 && s.dwXCountChars == 0 && s.dwYCountChars == 0 &&
         s.dwFillAttribute == 0 && s.dwFlags == 0 && s.wShowWindow == 0 && s.cbReserved2 == 0 &&
         s.lpReserved2 == nullptr && s.hStdInput == nullptr && s.hStdOutput == nullptr && s.hStdError == nullptr;
}

emu::RegistryCall Call(const char* function, const OpenKey& where) {
  emu::RegistryCall call{};
  call.function = function;
  call.root = where.root;
  call.path = where.path;
  return call;
}

LONG Record(emu::RegistryCall call, LONG result) {
  call.result = result;
  machine.registryCalls.push_back(call);
  return result;
}

}  // namespace

// --- the Windows calls ---
// Their signatures are those of the Windows headers, const or not, so that the programs
// compile against either.
// NOLINTBEGIN(readability-non-const-parameter)

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (module != nullptr || machine.failModuleFileName || size == 0) return 0;
  const std::string& name = machine.moduleFileName;
  DWORD length = static_cast<DWORD>(std::min<std::size_t>(name.size(), size - 1));
  std::memcpy(fileName, name.data(), length);
  fileName[length] = '\0';
  return length;
}

LPSTR GetCommandLineA() { return machine.commandLine.data(); }

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
  emu::ProcessStart start{};
  start.applicationNameNull = applicationName == nullptr;
  start.commandLine = commandLine ? commandLine : "";
  start.commandLineWritable = commandLine != nullptr && commandLine != machine.commandLine.data();
  start.securityAttributesNull = processAttributes == nullptr && threadAttributes == nullptr;
  start.inheritHandles = inheritHandles;
  start.creationFlags = creationFlags;
  start.environmentNull = environment == nullptr;
  start.currentDirectoryNull = currentDirectory == nullptr;
  start.currentDirectory = currentDirectory ? currentDirectory : "";
  start.startupInfoSize = startupInfo->cb;
  start.startupInfoOtherwiseZero = IsZeroBeyondSize(*startupInfo);
  machine.processStarts.push_back(start);

  *processInformation = {};
  if (machine.failProcessCreation) return FALSE;
  processInformation->hProcess = reinterpret_cast<HANDLE>(machine.nextHandle++);
  processInformation->hThread = reinterpret_cast<HANDLE>(machine.nextHandle++);
  processInformation->dwProcessId = 100;
  processInformation->dwThreadId = 101;
  machine.openHandles.insert(processInformation->hProcess);
  machine.openHandles.insert(processInformation->hThread);
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) { return machine.openHandles.erase(handle) == 1; }

LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
  OpenKey where;
  if (!Resolve(root, subKey, where)) return ERROR_ACCESS_DENIED;
  emu::RegistryCall call = Call("RegCreateKeyExA", where);
  call.access = access;
  call.options = options;
  call.plainArguments = reserved == 0 && keyClass == nullptr && security == nullptr &&
                        disposition == nullptr;
  if (LONG failure = InjectedOpenFailure(where)) return Record(call, failure);
  MakeKey(where.root, where.path);
  *result = NewKeyHandle(where);
  return Record(call, ERROR_SUCCESS);
}

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  OpenKey where;
  if (!Resolve(root, subKey, where)) return ERROR_ACCESS_DENIED;
  emu::RegistryCall call = Call("RegOpenKeyExA", where);
  call.access = access;
  call.options = options;
  call.plainArguments = true;
  if (LONG failure = InjectedOpenFailure(where)) return Record(call, failure);
  if (!FindKey(where.root, where.path)) return Record(call, ERROR_FILE_NOT_FOUND);
  *result = NewKeyHandle(where);
  return Record(call, ERROR_SUCCESS);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
  auto open = machine.openKeys.find(key);
  if (open == machine.openKeys.end()) return ERROR_ACCESS_DENIED;
  emu::RegistryCall call = Call("RegSetValueExA", open->second);
  call.valueName = valueName ? valueName : "(default)";
  call.type = type;
  call.size = size;
  call.plainArguments = reserved == 0;
  Key* target = FindKey(open->second.root, open->second.path);
  if (!target) return Record(call, ERROR_KEY_DELETED);
  std::string bytes = data ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
  target->values[valueName ? valueName : ""] = {type, bytes};
  return Record(call, ERROR_SUCCESS);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR keyClass, LPDWORD classSize, PFILETIME lastWriteTime) {
  auto open = machine.openKeys.find(key);
  if (open == machine.openKeys.end()) return ERROR_ACCESS_DENIED;
  emu::RegistryCall call = Call("RegEnumKeyExA", open->second);
  call.index = index;
  call.size = *nameSize;
  call.plainArguments = reserved == nullptr && keyClass == nullptr && classSize == nullptr &&
                        lastWriteTime == nullptr;
  Key* parent = FindKey(open->second.root, open->second.path);
  if (!parent) return Record(call, ERROR_KEY_DELETED);
  if (index >= parent->subkeys.size()) return Record(call, ERROR_NO_MORE_ITEMS);
  const std::string& child = std::next(parent->subkeys.begin(), index)->first;
  if (child.size() + 1 > *nameSize) return Record(call, ERROR_MORE_DATA);
  std::memcpy(name, child.c_str(), child.size() + 1);
  *nameSize = static_cast<DWORD>(child.size());
  return Record(call, ERROR_SUCCESS);
}

LONG RegDeleteKeyA(HKEY root, LPCSTR subKey) {
  OpenKey where;
  if (!Resolve(root, subKey, where)) return ERROR_ACCESS_DENIED;
  emu::RegistryCall call = Call("RegDeleteKeyA", where);
  auto failure = machine.deleteFailures.find({where.root, where.path});
  if (failure != machine.deleteFailures.end()) return Record(call, failure->second);
  std::vector<std::string> names = SplitPath(where.path);
  if (names.empty()) return Record(call, ERROR_ACCESS_DENIED);
  std::string leaf = names.back();
  names.pop_back();
  Key* parent = &machine.roots[where.root];
  for (const std::string& name : names) {
    auto child = parent->subkeys.find(name);
    if (child == parent->subkeys.end()) return Record(call, ERROR_FILE_NOT_FOUND);
    parent = &child->second;
  }
  auto target = parent->subkeys.find(leaf);
  if (target == parent->subkeys.end()) return Record(call, ERROR_FILE_NOT_FOUND);
  if (!target->second.subkeys.empty()) return Record(call, ERROR_ACCESS_DENIED);
  parent->subkeys.erase(target);
  return Record(call, ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  auto open = machine.openKeys.find(key);
  if (open == machine.openKeys.end()) return ERROR_ACCESS_DENIED;
  emu::RegistryCall call = Call("RegCloseKey", open->second);
  machine.openKeys.erase(open);
  return Record(call, ERROR_SUCCESS);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  machine.messageBoxes.push_back({owner, text ? text : "", caption ? caption : "", type});
  if (machine.answers.empty()) return IDOK;
  int answer = machine.answers.front();
  machine.answers.erase(machine.answers.begin());
  return answer;
}

// NOLINTEND(readability-non-const-parameter)

// --- the test hooks ---

namespace emu {

void Reset() {
  machine = Machine();
  machine.moduleFileName = R"(C:\Games\Velmora\VelmoraPlayer.exe)";
  machine.commandLine = "\"" + machine.moduleFileName + "\"";
}

void PutKey(HKEY root, const std::string& path) { MakeKey(root, path); }

void PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
              const std::string& data) {
  MakeKey(root, path).values[name] = {type, data};
}

bool HasKey(HKEY root, const std::string& path) { return FindKey(root, path) != nullptr; }

bool HasValue(HKEY root, const std::string& path, const std::string& name) {
  Key* key = FindKey(root, path);
  return key && key->values.count(name) == 1;
}

RegistryValue ValueOf(HKEY root, const std::string& path, const std::string& name) {
  Key* key = FindKey(root, path);
  if (!key || key->values.count(name) == 0) return {0, "<missing>"};
  return key->values[name];
}

template <typename Map>
std::vector<std::string> NamesOf(const Map& map) {
  std::vector<std::string> names;
  std::transform(map.begin(), map.end(), std::back_inserter(names), [](const auto& entry) { return entry.first; });
  return names;
}

std::vector<std::string> SubkeysOf(HKEY root, const std::string& path) {
  const Key* key = FindKey(root, path);
  return key ? NamesOf(key->subkeys) : std::vector<std::string>();
}

std::vector<std::string> ValueNamesOf(HKEY root, const std::string& path) {
  const Key* key = FindKey(root, path);
  return key ? NamesOf(key->values) : std::vector<std::string>();
}

void FailOpen(HKEY root, const std::string& path, LONG code) { machine.openFailures[{root, path}] = code; }

void FailDelete(HKEY root, const std::string& path, LONG code) {
  machine.deleteFailures[{root, path}] = code;
}

const std::vector<RegistryCall>& RegistryCalls() { return machine.registryCalls; }

int OpenKeyCount() { return static_cast<int>(machine.openKeys.size()); }

void AnswerMessageBoxes(const std::vector<int>& answers) { machine.answers = answers; }

const std::vector<MessageBoxCall>& MessageBoxes() { return machine.messageBoxes; }

void FailProcessCreation() { machine.failProcessCreation = true; }

const std::vector<ProcessStart>& ProcessStarts() { return machine.processStarts; }

int OpenHandleCount() { return static_cast<int>(machine.openHandles.size()); }

void SetModuleFileName(const std::string& name) { machine.moduleFileName = name; }

void FailModuleFileName() { machine.failModuleFileName = true; }

void SetCommandLine(const std::string& commandLine) { machine.commandLine = commandLine; }

}  // namespace emu
