// Any web page can hand the launcher a link of its choosing. Whatever the command line, the
// launcher refuses the link or builds a client command line whose only quotes are its own
// ten, none after a backslash that would escape it, and which holds nothing outside
// printable ASCII but the folder: the values stay inside their quotes, never a switch of the
// page's choosing. What each link must become is written out in the unit tests and held
// against the real program under Wine, corpus included.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/launch_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The platform hands over a zero-terminated command line.
  const std::string commandLine(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const LinkRequest request = ReadLink(commandLine, "C:\\Velmora\\", 11);
  const std::string& line = request.clientCommandLine;
  if (request.kind != LinkRequest::kStart) return 0;
  const bool printable = std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
  if (!printable || std::count(line.begin(), line.end(), '"') != 10 || line.find("\\\"") != std::string::npos ||
      line.size() >= 32767)
    std::abort();
  return 0;
}
