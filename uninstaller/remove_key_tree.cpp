#include "uninstaller/remove_key_tree.h"

namespace {

// A registry link (a key made with REG_OPTION_CREATE_LINK) names another key, anywhere in the
// user's registry: removing through it would delete that key's tree, which is not ours.
bool IsLink(HKEY key) {
  DWORD type = 0;
  return RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
         type == REG_LINK;
}

}  // namespace

// The platform deletes only keys without subkeys, so the tree goes depth first. Every key
// is addressed from the root by its full path: the handle opened here serves only to find
// the subkeys and is closed before the key itself is deleted. Each removal moves the rest
// of the subkeys down, so the next one is always at index 0. Each key is opened as itself,
// never as what it may link to, and a link stops the removal, left where it is. A subkey
// another uninstaller removed after it was listed is gone, as wanted; one listed again under
// the same name is there, but cannot be named, and stops the removal.
LONG RemoveKeyTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | KEY_WRITE, &key);
  if (result != ERROR_SUCCESS) return result;
  if (IsLink(key)) {
    RegCloseKey(key);
    return ERROR_ACCESS_DENIED;
  }
  std::string vanished;
  for (;;) {
    // The longest key name, 255 characters, takes up to three bytes each in our UTF-8 code
    // page; a shorter buffer would stop the removal at a long non-ASCII name.
    char name[3 * 255 + 1];
    DWORD nameLength = sizeof name;
    if (RegEnumKeyExA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      RegCloseKey(key);
      return RegDeleteKeyA(root, path.c_str());
    }
    result = RemoveKeyTree(root, path + "\\" + name);
    if (result == ERROR_FILE_NOT_FOUND && vanished != name) {
      vanished = name;
      continue;
    }
    if (result != ERROR_SUCCESS) {
      RegCloseKey(key);
      return result;
    }
  }
}
