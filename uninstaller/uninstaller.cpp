#include <string>

#include "platform/win32.h"
#include "shared/velmora.h"
#include "uninstaller/remove_key_tree.h"

namespace {

int ShowMessage(const std::string& text, UINT style) {
  return ShowMessageBox(text.c_str(), kUninstallerDisplayName, style);
}

// A target that is there but would not go: anything but removed or not found.
bool Failed(LONG result) { return result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND; }

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
  const LONG user = RemoveKeyTree(HKEY_CURRENT_USER, kClassKeyPath);
  const LONG machine = RemoveKeyTree(HKEY_CLASSES_ROOT, kSchemeName);
  const LONG legacy = RemoveKeyTree(HKEY_CURRENT_USER, kLegacyClassKeyPath);

  // A registration that stays must not be reported as gone or as never there, and the
  // folder it points into must not be deleted while it does.
  const bool userFailed = Failed(user) || Failed(legacy);
  if (userFailed || Failed(machine)) {
    std::string text = "The protocol handler could not be removed completely.\n\n";
    if (userFailed) text += "Your user account's registration remains: close any running games and try again.\n\n";
    if (Failed(machine))
      text += "The machine-wide registration remains: run this uninstaller as an administrator.\n\n";
    ShowMessage(text + "Keep this folder until the uninstaller reports success.", MB_OK | MB_ICONWARNING);
    return 0;
  }
  const bool removed = user == ERROR_SUCCESS || machine == ERROR_SUCCESS || legacy == ERROR_SUCCESS;
  ShowMessage(removed ? "Velmora Player has been uninstalled successfully.\n\n"
                        "Protocol handler registry entries have been removed.\n\n"
                        "You can now delete this folder and download a fresh copy\nfrom " + download
                      : "No Velmora Player installation was found in the registry.\n\n"
                        "You can safely delete this folder and download a fresh copy\nfrom " + download,
              MB_OK | MB_ICONINFORMATION);
  return 0;
}
