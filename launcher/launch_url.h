#pragma once

#include <cstddef>
#include <string>

// What a start's command line asks of the launcher.
struct LinkRequest {
  enum Kind { kByHand, kRefused, kStart };
  Kind kind;
  std::string clientCommandLine;  // kStart: the client's command line
};

// The start's command line, in UTF-8 (empty where it could not be read whole), read for a
// client in clientFolder (trailing separator included, in the process's code page, and
// folderCharacters UTF-16 characters long): started by hand where it holds no link; else the
// client's command line, or refused where a value is missing or could leave its quotes, or
// Windows would not take the line.
LinkRequest ReadLink(const std::string& commandLine, const std::string& clientFolder, size_t folderCharacters);
