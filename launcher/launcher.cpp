#include "launcher/launcher.h"

#include <algorithm>
#include <vector>

#include "launcher/launch_url.h"
#include "launcher/registration.h"
#include "platform/win32.h"
#include "shared/velmora.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68, "the 32-bit STARTUPINFOA layout");
#endif

namespace {

// The launcher registers itself under this name, whatever the running file is called.
constexpr char kHandlerFileName[] = "VelmoraPlayer.exe";
constexpr char kClientFileName[] = "OlvanePlayerBetaRaw.exe";
constexpr char kContentFolderName[] = "content";

// A file name of up to 32767 UTF-16 units takes at most three bytes a unit in UTF-8.
constexpr DWORD kLongestModuleFileName = 3 * 32767 + 1;

void ShowMessage(const std::string& text, UINT icon) {
  ShowMessageBox(text.c_str(), kLauncherDisplayName, MB_OK | icon);
}

}  // namespace

// With the UTF-8 code page a path well inside the platform's limit can take more than
// MAX_PATH bytes, and a cut name would register the wrong handler and start the wrong
// client, so the buffer grows until the name fits. A cut comes without an error and falls
// on a character boundary, up to four bytes short of the buffer's end, so only a name that
// leaves room for one more four-byte character and the zero is surely whole.
std::string ModuleFileName() {
  for (DWORD size = MAX_PATH;; size *= 2) {
    std::string name(size, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, name.data(), size);
    if (length == 0) return "";
    if (length + 4 < size) {
      name.resize(length);
      return name;
    }
    if (size > kLongestModuleFileName) return "";
  }
}

// With the UTF-8 code page (Windows 10 1903 on) the narrow name is the file's own. Before,
// the legacy code page spells what it cannot hold with look-alikes or '?', which name another
// folder (a fullwidth "Ｖelmora" becomes "Velmora"), so the name is read back and compared
// with the wide one. The client, reading its command line in such a code page, must not find
// a quote in the folder's path either, where best-fit conversion makes one of a fullwidth
// quote: that would end the quoted path early.
bool IsOwnFolderName(const std::string& moduleFileName) {
  std::vector<wchar_t> wide(32768);
  const DWORD length = GetModuleFileNameW(nullptr, wide.data(), 32768);
  if (moduleFileName.empty() || length == 0 || length >= 32768) return false;
  std::vector<wchar_t> readBack(moduleFileName.size() + 1);
  const int readLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, moduleFileName.data(),
                                             static_cast<int>(moduleFileName.size()), readBack.data(),
                                             static_cast<int>(readBack.size()));
  DWORD legacyCodePage = 0;
  GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                 reinterpret_cast<LPSTR>(&legacyCodePage), sizeof legacyCodePage);
  std::string legacy(4 * length, '\0');
  legacy.resize(WideCharToMultiByte(legacyCodePage, 0, wide.data(), static_cast<int>(length), legacy.data(),
                                    static_cast<int>(legacy.size()), nullptr, nullptr));
  return static_cast<DWORD>(readLength) == length && std::equal(wide.data(), wide.data() + length, readBack.data()) &&
         legacy.find('"') == std::string::npos;
}

std::string ModuleDirectory(const std::string& moduleFileName) {
  const std::string::size_type separator = moduleFileName.find_last_of("\\/");
  if (separator == std::string::npos) return "";
  return moduleFileName.substr(0, separator + 1);
}

bool StartClient(const std::string& commandLine, const std::string& currentDirectory) {
  // CreateProcessA may write into its command line, so it gets a copy of its own.
  std::vector<char> buffer(commandLine.c_str(), commandLine.c_str() + commandLine.size() + 1);
  STARTUPINFOA startupInfo{};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      currentDirectory.c_str(), &startupInfo, &process))
    return false;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return true;
}

// The process's own command line, whole and in UTF-8 whatever the code page: the narrow one
// is cut (or, on Windows, missing) past 65,535 bytes, and best-fitted in a legacy code page.
std::string CommandLine() { return ToUtf8(GetCommandLineW()); }

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int /*showCommand*/) {
  const std::string moduleFileName = ModuleFileName();
  const std::string installDirectory = ModuleDirectory(moduleFileName);
  const std::string clientPath = installDirectory + kClientFileName;
  const std::string contentPath = installDirectory + kContentFolderName;

  // A folder we cannot name whole would register and start another folder's programs. The
  // platform reads %1, %L, %* and their kind anywhere in the open command, with no way to
  // escape a %. In either case leave whatever registration there is alone rather than break it.
  const bool ownFolder = IsOwnFolderName(moduleFileName);
  const std::string handlerPath = installDirectory + kHandlerFileName;
  const bool registered = ownFolder && handlerPath.find('%') == std::string::npos;
  if (registered) RegisterProtocolHandler(handlerPath);

  const std::string commandLine = CommandLine();
  const std::string launchUrl = ExtractLaunchUrl(commandLine);
  const bool byHand = launchUrl.empty() && !commandLine.empty();
  if (!ownFolder) {
    ShowMessage("Velmora Player cannot work from this folder: Windows cannot pass its path on to the game "
                "as it is.\n\nMove the folder to a path of plain letters, such as "
                "%LOCALAPPDATA%\\Programs\\Velmora Player, and start VelmoraPlayer.exe there once.",
                MB_ICONERROR);
    return byHand ? 0 : 1;
  }
  if (byHand) {
    if (!registered) {
      ShowMessage("Velmora Player could not be set up to open play links from this folder: its path holds a %, "
                  "which Windows would read as part of the command.\n\nMove the folder to a path without %, "
                  "such as %LOCALAPPDATA%\\Programs\\Velmora Player, and start VelmoraPlayer.exe there once.",
                  MB_ICONWARNING);
      return 0;
    }
    const std::string account = OtherAccountName();
    if (!account.empty()) {
      ShowMessage("Velmora Player was set up for the account " + account +
                      ", which it was started as, not for the account signed in to Windows.\n\n"
                      "Start VelmoraPlayer.exe again without \"Run as administrator\".",
                  MB_ICONWARNING);
      return 0;
    }
    NotifyAssociationChanged();
    ShowMessage(std::string(kLauncherDisplayName) + " has been installed.\nYou can now play games on " +
                    kSiteHost,
                MB_ICONINFORMATION);
    return 0;
  }

  // A command line that cannot be read whole (it holds what UTF-8 cannot carry) comes here
  // empty, as a link without values, and is refused.
  const std::string payload = launchUrl.empty() ? "" : launchUrl.substr(sizeof kLaunchUrlPrefix - 1);
  const std::string ticket = PercentEncodeNonAscii(GetLaunchParameter(payload, "gameinfo"));
  const std::string joinScriptUrl = PercentEncodeNonAscii(GetLaunchParameter(payload, "placelauncherurl"));
  const std::string clientCommandLine =
      BuildClientCommandLine(clientPath, AuthenticationUrl(), ticket, joinScriptUrl, contentPath);
  // Windows takes no command line of 32,768 characters or more: such a link is refused whole.
  if (!IsUsableLaunchParameter(ticket) || !IsUsableLaunchParameter(joinScriptUrl) ||
      clientCommandLine.size() >= 32768) {
    ShowMessage("Invalid launch URL.", MB_ICONERROR);
    return 1;
  }
  if (!StartClient(clientCommandLine, installDirectory)) {
    ShowMessage("Failed to launch Velmora Player client.", MB_ICONERROR);
    return 1;
  }
  return 0;
}
