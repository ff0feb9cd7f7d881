#include "launcher/launcher.h"

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

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int /*showCommand*/) {
  const std::string moduleFileName = ModuleFileName();
  const std::string installDirectory = ModuleDirectory(moduleFileName);
  const std::string clientPath = installDirectory + kClientFileName;
  const std::string contentPath = installDirectory + kContentFolderName;

  // Without our own file name the handler path would be a bare name, and the platform reads
  // %1, %L, %* and their kind anywhere in the open command, with no way to escape a %: in
  // either case leave whatever registration there is alone rather than break it.
  const std::string handlerPath = installDirectory + kHandlerFileName;
  if (!moduleFileName.empty() && handlerPath.find('%') == std::string::npos)
    RegisterProtocolHandler(handlerPath);

  const std::string launchUrl = ExtractLaunchUrl(GetCommandLineA());
  if (launchUrl.empty()) {
    ShowMessage(std::string(kLauncherDisplayName) + " has been installed.\nYou can now play games on " +
                    kSiteHost,
                MB_ICONINFORMATION);
    return 0;
  }

  const std::string payload = launchUrl.substr(sizeof kLaunchUrlPrefix - 1);
  const std::string ticket = GetLaunchParameter(payload, "gameinfo");
  const std::string joinScriptUrl = GetLaunchParameter(payload, "placelauncherurl");
  if (!IsUsableLaunchParameter(ticket) || !IsUsableLaunchParameter(joinScriptUrl)) {
    ShowMessage("Invalid launch URL.", MB_ICONERROR);
    return 1;
  }

  const std::string commandLine =
      BuildClientCommandLine(clientPath, AuthenticationUrl(), ticket, joinScriptUrl, contentPath);
  if (!StartClient(commandLine, installDirectory)) {
    ShowMessage("Failed to launch Velmora Player client.", MB_ICONERROR);
    return 1;
  }
  return 0;
}
