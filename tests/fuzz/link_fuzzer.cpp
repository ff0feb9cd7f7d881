// Any web page can hand the launcher a link of its choosing. Whatever the command line, the
// launcher refuses the link or builds a client command line whose only quotes are its own
// ten, none after a backslash that would escape it, and which holds nothing outside
// printable ASCII: the values stay inside their quotes, never a switch of the page's
// choosing. What each link must become is written out in the unit tests and held against
// the real program under Wine, corpus included.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/launch_url.h"
#include "shared/velmora.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The platform hands over a zero-terminated command line.
  const std::string commandLine(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const std::string launchUrl = ExtractLaunchUrl(commandLine);
  if (launchUrl.empty()) return 0;
  const std::string payload = launchUrl.substr(sizeof kLaunchUrlPrefix - 1);
  const std::string ticket = PercentEncodeNonAscii(GetLaunchParameter(payload, "gameinfo"));
  const std::string joinScriptUrl = PercentEncodeNonAscii(GetLaunchParameter(payload, "placelauncherurl"));
  if (!IsUsableLaunchParameter(ticket) || !IsUsableLaunchParameter(joinScriptUrl)) return 0;
  const std::string line =
      BuildClientCommandLine("C:\\Velmora\\OlvanePlayerBetaRaw.exe", AuthenticationUrl(), ticket, joinScriptUrl,
                             "C:\\Velmora\\content");
  const bool printable = std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
  if (!printable || std::count(line.begin(), line.end(), '"') != 10 || line.find("\\\"") != std::string::npos)
    std::abort();
  return 0;
}
