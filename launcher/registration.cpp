#include "launcher/registration.h"

#include "platform/win32.h"
#include "shared/velmora.h"

namespace {

// REG_SZ data is stored with its terminating zero, and the byte count says so.
void SetStringValue(HKEY key, const char* name, const std::string& data) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>(data.size()) + 1);
}

HKEY CreateUserKey(const char* path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

// The command the platform runs for a link: the quoted handler path and the quoted link.
std::string OpenCommand(const std::string& handlerPath) { return "\"" + handlerPath + R"(" "%1")"; }

}  // namespace

// Everything lies under HKEY_CURRENT_USER, which needs no administrative rights. Each key
// is tried on its own, so one that cannot be written does not stop the other.
void RegisterProtocolHandler(const std::string& handlerPath) {
  if (HKEY classKey = CreateUserKey(kClassKeyPath)) {
    SetStringValue(classKey, nullptr, "URL:Velmora Player Protocol");
    // Its presence, not its data, marks the class as a URL scheme.
    SetStringValue(classKey, "URL Protocol", "");
    RegCloseKey(classKey);
  }
  if (HKEY commandKey = CreateUserKey(kCommandKeyPath)) {
    SetStringValue(commandKey, nullptr, OpenCommand(handlerPath));
    RegCloseKey(commandKey);
  }
}
