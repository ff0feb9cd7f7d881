// Prints what the launcher must do with each command line file given, as one JSON line a
// file, for the end-to-end tests to hold the real program to the fuzzer's own oracle.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/fuzz/oracle.h"

namespace {

std::string Hex(const std::string& bytes) {
  const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += digits[byte >> 4];
    hex += digits[byte & 0xF];
  }
  return hex;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const oracle::Expectation e = oracle::Expect(std::string(std::istreambuf_iterator<char>(file), {}));
    std::printf("{\"hasLink\": %s, \"refused\": %s, \"ticket\": \"%s\", \"joinScriptUrl\": \"%s\"}\n",
                e.hasLink ? "true" : "false", e.refused ? "true" : "false", Hex(e.ticket).c_str(),
                Hex(e.joinScriptUrl).c_str());
  }
  return 0;
}
