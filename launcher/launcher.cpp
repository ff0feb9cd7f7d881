#include <cstdlib>
#include <cwchar>
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

void ShowMessage(const std::string& text, UINT icon) {
  ShowMessageBox(text.c_str(), kLauncherDisplayName, MB_OK | icon);
}

// The folder part of a file name: its length up to the last separator, which it keeps; 0
// without a separator.
DWORD ModuleDirectory(const wchar_t* moduleFileName, DWORD length) {
  while (length > 0 && moduleFileName[length - 1] != L'\\' && moduleFileName[length - 1] != L'/') --length;
  return length;
}

// Programs without our manifest's UTF-8 code page, such as a game client with a plain main,
// get the system's ANSI code page, which Windows keeps here and reads at start-up. Where the
// system runs every program in UTF-8 ("Beta: Use Unicode UTF-8"), it is 65001 while the system
// locale's own default still names the locale's legacy code page: that serves only where the
// value cannot be read.
UINT LegacyCodePage() {
  char value[16];
  DWORD size = sizeof value;
  UINT codePage = 0;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, R"(SYSTEM\CurrentControlSet\Control\Nls\CodePage)", "ACP", RRF_RT_REG_SZ,
                   nullptr, value, &size) == ERROR_SUCCESS)
    codePage = static_cast<UINT>(std::strtoul(value, nullptr, 10));
  if (codePage == 0)
    GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                   reinterpret_cast<LPSTR>(&codePage), sizeof codePage);
  return codePage;
}

// Whether a path comes back unchanged from a code page: best-fit conversion would turn
// letters it lacks into look-alikes or '?', and a fullwidth quote into one that ends the
// quoted path.
bool ReadsBack(const wchar_t* path, int length, UINT codePage) {
  std::string narrow(4 * static_cast<size_t>(length) + 1, '\0');
  const int narrowLength = WideCharToMultiByte(codePage, 0, path, length, narrow.data(),
                                               static_cast<int>(narrow.size()), nullptr, nullptr);
  std::vector<wchar_t> readBack(static_cast<size_t>(length) + 1);
  return MultiByteToWideChar(codePage, 0, narrow.data(), narrowLength, readBack.data(), length + 1) == length &&
         std::wmemcmp(path, readBack.data(), static_cast<size_t>(length)) == 0;
}

// With the UTF-8 code page (Windows 10 1903 on) our narrow name is the file's own. Before,
// the legacy code page spells what it cannot hold with look-alikes or '?', which name another
// folder (a fullwidth "Ｖelmora" becomes "Velmora"). A game client with a plain main reads
// its command line in that legacy code page whatever our manifest says. A folder that code
// page cannot spell is given by its short (8.3) name, which is ASCII where the volume makes
// one: a client reading it in Unicode finds the same folder. The platform reads the open
// command in Unicode, so it is told the folder as it is wherever our own name is whole.
// The folder is cut from the Unicode name, never from a narrow one: a narrow name is cut at
// MAX_PATH bytes, and in a double-byte legacy code page the second byte of a character may be
// 0x5C, a backslash (表 is 0x95 0x5C in code page 932), where a cut would name another file.
bool InstallFolders(std::string& handlerFolder, std::string& clientFolder) {
  // The name, then its folder's short form.
  std::vector<wchar_t> wide(2 * 32768);
  const DWORD length = GetModuleFileNameW(nullptr, wide.data(), 32768);
  if (length == 0 || length >= 32768) return false;
  const bool ownName = ReadsBack(wide.data(), static_cast<int>(length), CP_ACP);
  const DWORD folderLength = ModuleDirectory(wide.data(), length);
  wide[folderLength] = L'\0';
  const UINT legacyCodePage = LegacyCodePage();
  handlerFolder = clientFolder = ToNarrow(wide.data(), CP_ACP);
  if (ownName && ReadsBack(wide.data(), static_cast<int>(folderLength), legacyCodePage)) return true;
  wchar_t* const shortFolder = wide.data() + 32768;
  const DWORD shortLength = GetShortPathNameW(wide.data(), shortFolder, 32768);
  // Our own code page is UTF-8 or that legacy one: what reads back there reads back here.
  if (shortLength == 0 || shortLength >= 32768 ||
      !ReadsBack(shortFolder, static_cast<int>(shortLength), legacyCodePage))
    return false;
  clientFolder = ToNarrow(shortFolder, CP_ACP);
  if (!ownName) handlerFolder = clientFolder;
  return true;
}

// A narrow string's length in UTF-16 characters, as Windows counts a command line.
size_t Utf16Length(const std::string& text) {
  return static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0));
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
std::string CommandLine() { return ToNarrow(GetCommandLineW(), CP_UTF8); }

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int /*showCommand*/) {
  std::string handlerDirectory;
  std::string clientDirectory;
  const bool readable = InstallFolders(handlerDirectory, clientDirectory);

  // A folder we cannot name would register and start another folder's programs. The
  // platform reads %1, %L, %* and their kind anywhere in the open command, with no way to
  // escape a %. In either case leave whatever registration there is alone rather than break it.
  const std::string handlerPath = handlerDirectory + kHandlerFileName;
  const bool registered = readable && handlerPath.find('%') == std::string::npos;
  if (registered) RegisterProtocolHandler(handlerPath);

  const LinkRequest request = ReadLink(CommandLine(), clientDirectory, Utf16Length(clientDirectory));
  const bool byHand = request.kind == LinkRequest::kByHand;
  if (!readable) {
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
  if (request.kind == LinkRequest::kRefused) {
    ShowMessage("Invalid launch URL.", MB_ICONERROR);
    return 1;
  }
  if (!StartClient(request.clientCommandLine, clientDirectory)) {
    ShowMessage("Failed to launch Velmora Player client.", MB_ICONERROR);
    return 1;
  }
  return 0;
}
