#include "launcher/launch_url.h"

#include <algorithm>

#include "shared/velmora.h"

namespace {

constexpr char kClientFileName[] = "OlvanePlayerBetaRaw.exe";
constexpr char kContentFolderName[] = "content";

// The launch URL: the command line from the first "velmor-player:" on, less one closing quote.
std::string ExtractLaunchUrl(const std::string& commandLine) {
  const std::string::size_type start = commandLine.find(kLaunchUrlPrefix);
  if (start == std::string::npos) return "";
  std::string launchUrl = commandLine.substr(start);
  // The registered open command hands us the link as a quoted argument; drop its closing quote.
  if (launchUrl.back() == '"') launchUrl.pop_back();
  return launchUrl;
}

// The value after the first "key:" in the payload, up to the next "+".
std::string GetLaunchParameter(const std::string& payload, const std::string& key) {
  const std::string needle = key + ":";
  const std::string::size_type found = payload.find(needle);
  if (found == std::string::npos) return "";
  const std::string::size_type start = found + needle.size();
  const std::string::size_type end = payload.find('+', start);
  return payload.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Some browsers (Firefox) decode percent-encoded UTF-8 before they hand a link over, others
// (Chrome, Edge) do not. The client gets the encoded form either way: a client running in a
// legacy code page reads its command line through best-fit conversion, which turns a
// fullwidth quote or backslash (or a yen sign on Japanese systems) into a real one, and
// letters outside that code page into '?'.
std::string PercentEncodeNonAscii(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kDigits[byte >> 4];
      encoded += kDigits[byte & 0xF];
    }
  }
  return encoded;
}

// A value is pasted between double quotes into the client's command line, so any web page
// could add switches of its own with a value that closes the quotes: one holding a quote,
// or one ending in a backslash, which escapes the closing quote under the Windows argument
// rules. Control characters have no place in a ticket or URL either. Such a link is refused
// like one that lacks the value; everything else passes as it stands.
bool IsUsableLaunchParameter(const std::string& value) {
  if (value.empty() || value.back() == '\\') return false;
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '"' || byte < 0x20 || byte >= 0x7F;
  });
}

}  // namespace

LinkRequest ReadLink(const std::string& commandLine, const std::string& clientFolder, size_t folderCharacters) {
  const std::string launchUrl = ExtractLaunchUrl(commandLine);
  const bool byHand = launchUrl.empty() && !commandLine.empty();
  if (byHand) return {LinkRequest::kByHand, ""};
  // A command line that cannot be read whole (it holds what UTF-8 cannot carry) comes here
  // empty, as a link without values, and is refused.
  const std::string payload = launchUrl.empty() ? "" : launchUrl.substr(sizeof kLaunchUrlPrefix - 1);
  const std::string ticket = PercentEncodeNonAscii(GetLaunchParameter(payload, "gameinfo"));
  const std::string joinScriptUrl = PercentEncodeNonAscii(GetLaunchParameter(payload, "placelauncherurl"));
  const std::string line = "\"" + clientFolder + kClientFileName + "\" " +
                           "--authenticationUrl \"http://" + kSiteHost + "/Login/Negotiate.ashx" +
                           "\" --authenticationTicket \"" + ticket +
                           "\" --joinScriptUrl \"" + joinScriptUrl +
                           "\" --content \"" + clientFolder + kContentFolderName +
                           "\" --play";
  // Windows takes a command line of at most 32,767 UTF-16 characters, its terminating zero
  // included. All but the folder, named twice, is ASCII once the values are usable.
  const size_t characters = line.size() - 2 * clientFolder.size() + 2 * folderCharacters;
  if (!IsUsableLaunchParameter(ticket) || !IsUsableLaunchParameter(joinScriptUrl) || characters >= 32767)
    return {LinkRequest::kRefused, ""};
  return {LinkRequest::kStart, line};
}
