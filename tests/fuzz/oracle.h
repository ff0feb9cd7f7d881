#pragma once

// What a launch link must become, worked out independently of the launcher's own code:
// the parameter rules read byte by byte, and the client command line split the way
// Windows splits it. The fuzzer checks the launcher against it, and the end-to-end tests
// check the real program under Wine against the same answers.
#include <algorithm>
#include <string>
#include <vector>

namespace oracle {

// The install folder the checks assume; blanks and a non-ASCII letter included.
inline const std::string kFolder = "C:\\Program Files (x86)\\Velmora \xc3\x9c\\";

// The value after the first "key:" anywhere in the payload, up to the next "+".
inline std::string ReadParameter(const std::string& payload, const std::string& key) {
  const std::string needle = key + ":";
  for (size_t at = 0; at + needle.size() <= payload.size(); ++at) {
    if (payload.compare(at, needle.size(), needle) != 0) continue;
    std::string value;
    for (size_t i = at + needle.size(); i < payload.size() && payload[i] != '+'; ++i) value += payload[i];
    return value;
  }
  return "";
}

// Bytes outside ASCII as %XX, upper-case hex, the way a browser that encodes links sends them.
inline std::string Encoded(const std::string& value) {
  std::string encoded;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      encoded += c;
      continue;
    }
    const char hex[] = {'%', "0123456789ABCDEF"[byte / 16], "0123456789ABCDEF"[byte % 16], '\0'};
    encoded += hex;
  }
  return encoded;
}

struct Expectation {
  bool hasLink = false;
  bool refused = false;
  std::string ticket;
  std::string joinScriptUrl;
};

inline bool Unusable(const std::string& value) {
  if (value.empty() || value[value.size() - 1] == '\\') return true;
  return std::any_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '"' || byte < 0x20 || byte >= 0x7F;
  });
}

// The launcher's whole command line in, what it must do out.
inline Expectation Expect(const std::string& commandLine) {
  Expectation expectation;
  const std::string prefix = "velmor-player:";
  const size_t start = commandLine.find(prefix);
  if (start == std::string::npos) return expectation;
  expectation.hasLink = true;
  std::string link = commandLine.substr(start);
  if (link[link.size() - 1] == '"') link.erase(link.size() - 1);
  const std::string payload = link.substr(prefix.size());
  expectation.ticket = Encoded(ReadParameter(payload, "gameinfo"));
  expectation.joinScriptUrl = Encoded(ReadParameter(payload, "placelauncherurl"));
  expectation.refused = Unusable(expectation.ticket) || Unusable(expectation.joinScriptUrl);
  return expectation;
}

// Splits a command line as CommandLineToArgvW and the C runtime do: the program name runs
// to its closing quote (or the first blank) with no escapes; after it, blanks and tabs
// separate arguments outside quotes, 2n backslashes before a quote give n and the quote
// opens or closes quoting, 2n+1 give n and a literal quote, other backslashes stand for
// themselves, and inside quotes a doubled quote gives one literal quote.
inline std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  std::string program;
  if (i < line.size() && line[i] == '"') {
    for (++i; i < line.size() && line[i] != '"'; ++i) program += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; ++i) program += line[i];
  }
  arguments.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        size_t count = 0;
        while (i < line.size() && line[i] == '\\') ++count, ++i;
        if (i < line.size() && line[i] == '"') {
          argument.append(count / 2, '\\');
          if (count % 2 == 1) argument += '"', ++i;
        } else {
          argument.append(count, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          argument += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument += line[i++];
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

inline std::vector<std::string> ClientArguments(const std::string& authenticationUrl, const Expectation& e) {
  return {kFolder + "OlvanePlayerBetaRaw.exe", "--authenticationUrl", authenticationUrl,
          "--authenticationTicket", e.ticket, "--joinScriptUrl", e.joinScriptUrl,
          "--content", kFolder + "content", "--play"};
}

}  // namespace oracle
