#include "launcher/launch_url.h"

#include <algorithm>

#include "shared/velmora.h"

std::string ExtractLaunchUrl(const std::string& commandLine) {
  const std::string::size_type start = commandLine.find(kLaunchUrlPrefix);
  if (start == std::string::npos) return "";
  std::string launchUrl = commandLine.substr(start);
  // The registered open command hands us the link as a quoted argument; drop its closing quote.
  if (launchUrl.back() == '"') launchUrl.pop_back();
  return launchUrl;
}

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

std::string AuthenticationUrl() { return std::string("http://") + kSiteHost + "/Login/Negotiate.ashx"; }

std::string BuildClientCommandLine(const std::string& clientPath, const std::string& authenticationUrl,
                                   const std::string& ticket, const std::string& joinScriptUrl,
                                   const std::string& contentPath) {
  return "\"" + clientPath + "\" " +
         "--authenticationUrl \"" + authenticationUrl +
         "\" --authenticationTicket \"" + ticket +
         "\" --joinScriptUrl \"" + joinScriptUrl +
         "\" --content \"" + contentPath +
         "\" --play";
}
