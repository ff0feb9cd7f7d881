#include <string>

#include "platform/win32.h"
#include "shared/velmora.h"
#include "uninstaller/remove_key_tree.h"

namespace {

int ShowMessage(const std::string& text, UINT style) {
  return ShowMessageBox(text.c_str(), kUninstallerDisplayName, style);
}

// Whether a key is there, as itself: one that will not even open for reading is there too.
bool KeyExists(HKEY root, const char* path) {
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExA(root, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &key);
  if (result == ERROR_SUCCESS) RegCloseKey(key);
  return result != ERROR_FILE_NOT_FOUND;
}

// Started with "Run as administrator" as another account, as a standard user must: that
// account's own registration is not the user's, but the machine-wide one is everyone's, and
// only an administrator can remove it.
void RemoveMachineWideRegistration(const std::string& account) {
  const std::string started = "This uninstaller was started as the account " + account +
                              ", not as the account signed in to Windows";
  if (!KeyExists(HKEY_LOCAL_MACHINE, kClassKeyPath)) {
    ShowMessage(started + ", and would remove that account's registration instead of yours. Nothing was "
                "removed.\n\nStart it again without \"Run as administrator\".",
                MB_OK | MB_ICONWARNING);
    return;
  }
  if (ShowMessage(started + ". As " + account + " it can remove the machine-wide registration, which "
                  "every account of this PC shares, but not your own.\n\nRemove the machine-wide registration?",
                  MB_YESNO | MB_ICONQUESTION) != IDYES)
    return;
  RemoveKeyTree(HKEY_LOCAL_MACHINE, kClassKeyPath);
  NotifyAssociationChanged();
  if (KeyExists(HKEY_LOCAL_MACHINE, kClassKeyPath)) {
    ShowMessage("The machine-wide registration could not be removed, not even as the account " + account +
                    ".\n\nAsk an administrator of this PC to run this uninstaller. Keep this folder until "
                    "the uninstaller reports success.",
                MB_OK | MB_ICONWARNING);
    return;
  }
  ShowMessage("The machine-wide registration has been removed.\n\nRun this uninstaller once more, without "
              "\"Run as administrator\": it removes your own registration if any is left, and tells you "
              "when you can delete this folder.",
              MB_OK | MB_ICONINFORMATION);
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int /*showCommand*/) {
  const std::string account = OtherAccountName();
  if (!account.empty()) {
    RemoveMachineWideRegistration(account);
    return 0;
  }
  const std::string download = std::string(kSiteHost) + "/download";
  if (ShowMessage("This will uninstall Velmora Player and remove the protocol handler.\n\n"
                  "After uninstalling, download a fresh copy from " + download + "\n\nContinue?",
                  MB_YESNO | MB_ICONQUESTION) != IDYES)
    return 0;

  // All three are always tried. The class root is the merged view that also shows a
  // machine-wide registration; the last key is where an older release registered.
  const bool found = KeyExists(HKEY_CURRENT_USER, kClassKeyPath) || KeyExists(HKEY_CLASSES_ROOT, kSchemeName) ||
                     KeyExists(HKEY_CURRENT_USER, kLegacyClassKeyPath);
  RemoveKeyTree(HKEY_CURRENT_USER, kClassKeyPath);
  RemoveKeyTree(HKEY_CLASSES_ROOT, kSchemeName);
  RemoveKeyTree(HKEY_CURRENT_USER, kLegacyClassKeyPath);
  if (found) NotifyAssociationChanged();

  // What the box says rests on what is there now, not on the removals' codes: a subkey the
  // narrow API cannot name fails as "not found", and the class root shows the user's own key
  // whenever there is one, so the machine-wide registration is looked for where it lives. A
  // registration that stays must not be reported as gone or as never there, and the folder it
  // points into must not be deleted while it does.
  const bool userRemains = KeyExists(HKEY_CURRENT_USER, kClassKeyPath) ||
                           KeyExists(HKEY_CURRENT_USER, kLegacyClassKeyPath);
  const bool machineRemains = KeyExists(HKEY_LOCAL_MACHINE, kClassKeyPath);
  if (userRemains || machineRemains) {
    std::string text = "The protocol handler could not be removed completely.\n\n";
    if (userRemains) text += "Your user account's registration remains: close any running games and try again.\n\n";
    if (machineRemains)
      text += "The machine-wide registration remains: run this uninstaller as an administrator.\n\n";
    ShowMessage(text + "Keep this folder until the uninstaller reports success.", MB_OK | MB_ICONWARNING);
    return 0;
  }
  ShowMessage(found ? "Velmora Player has been uninstalled successfully.\n\n"
                      "Protocol handler registry entries have been removed.\n\n"
                      "You can now delete this folder and download a fresh copy\nfrom " + download
                    : "No Velmora Player installation was found in the registry.\n\n"
                      "You can safely delete this folder and download a fresh copy\nfrom " + download,
              MB_OK | MB_ICONINFORMATION);
  return 0;
}
