// Prints what the launcher must do with each command line file given, as one JSON line a
// file, for the end-to-end tests to hold the real program to the fuzzer's own oracle.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "launcher/launch_url.h"
#include "tests/fuzz/oracle.h"

namespace {

std::string Hex(const std::string& bytes) {
  const char digits[] = "0123456789abcdef";
  std::string hex = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += digits[byte >> 4];
    hex += digits[byte & 0xF];
  }
  return hex + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const std::string commandLine((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const oracle::Expectation e = oracle::Expect(commandLine);
    std::string arguments;
    for (const std::string& argument : oracle::ClientArguments(AuthenticationUrl(), e))
      arguments += (arguments.empty() ? "" : ", ") + Hex(argument);
    std::printf("{\"file\": \"%s\", \"hasLink\": %s, \"refused\": %s, \"clientArguments\": [%s]}\n", argv[i],
                e.hasLink ? "true" : "false", e.refused ? "true" : "false", arguments.c_str());
  }
  return 0;
}
