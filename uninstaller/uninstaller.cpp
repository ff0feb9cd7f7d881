#include <string>

#include "platform/win32.h"
#include "shared/velmora.h"
#include "uninstaller/remove_key_tree.h"

namespace {

int ShowMessage(const std::string& text, UINT style) {
  return MessageBoxA(nullptr, text.c_str(), kUninstallerDisplayName, style);
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int /*showCommand*/) {
  const std::string download = std::string(kSiteHost) + "/download";
  if (ShowMessage("This will uninstall Velmora Player and remove the protocol handler.\n\n"
                  "After uninstalling, download a fresh copy from " + download + "\n\nContinue?",
                  MB_YESNO | MB_ICONQUESTION) != IDYES)
    return 0;

  // All three are always tried. The class root is the merged view that also shows a
  // machine-wide registration; the last key is where an older release registered.
  bool removed = RemoveKeyTree(HKEY_CURRENT_USER, kClassKeyPath) == ERROR_SUCCESS;
  removed = (RemoveKeyTree(HKEY_CLASSES_ROOT, kSchemeName) == ERROR_SUCCESS) || removed;
  removed = (RemoveKeyTree(HKEY_CURRENT_USER, kLegacyClassKeyPath) == ERROR_SUCCESS) || removed;

  if (removed) {
    ShowMessage("Velmora Player has been uninstalled successfully.\n\n"
                "Protocol handler registry entries have been removed.\n\n"
                "You can now delete this folder and download a fresh copy\nfrom " + download,
                MB_OK | MB_ICONINFORMATION);
  } else {
    ShowMessage("No Velmora Player installation was found in the registry.\n\n"
                "You can safely delete this folder and download a fresh copy\nfrom " + download,
                MB_OK | MB_ICONINFORMATION);
  }
  return 0;
}
