// Any web page can hand the launcher a link of its choosing. For every command line the
// launcher either refuses the link, or gives the client exactly ten arguments with the two
// values read from the link: never a switch of the page's choosing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/launch_url.h"
#include "shared/velmora.h"
#include "tests/fuzz/oracle.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The platform hands over a zero-terminated command line.
  const std::string commandLine(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const oracle::Expectation expected = oracle::Expect(commandLine);

  const std::string launchUrl = ExtractLaunchUrl(commandLine);
  Check(launchUrl.empty() != expected.hasLink);
  if (launchUrl.empty()) return 0;

  const std::string payload = launchUrl.substr(sizeof kLaunchUrlPrefix - 1);
  const std::string ticket = PercentEncodeNonAscii(GetLaunchParameter(payload, "gameinfo"));
  const std::string joinScriptUrl = PercentEncodeNonAscii(GetLaunchParameter(payload, "placelauncherurl"));
  Check(ticket == expected.ticket && joinScriptUrl == expected.joinScriptUrl);

  const bool refused = !IsUsableLaunchParameter(ticket) || !IsUsableLaunchParameter(joinScriptUrl);
  Check(refused == expected.refused);
  if (refused) return 0;

  const std::string clientCommandLine =
      BuildClientCommandLine(oracle::kFolder + "OlvanePlayerBetaRaw.exe", AuthenticationUrl(), ticket,
                             joinScriptUrl, oracle::kFolder + "content");
  Check(oracle::Split(clientCommandLine) == oracle::ClientArguments(AuthenticationUrl(), expected));
  return 0;
}
