#pragma once

#include <string>

#include "platform/win32.h"

// The length of a file name's folder part, trailing separator included; 0 without a separator.
DWORD ModuleDirectory(const wchar_t* moduleFileName, DWORD length);

// The code page a program without our manifest's UTF-8 code page reads its command line in.
UINT LegacyCodePage();

// The install folder as the platform and the client are told it: as it is where Windows and
// a client reading its command line in the legacy code page can both read it, else by its
// short name; false when it has no name they can read.
bool InstallFolders(std::string& handlerFolder, std::string& clientFolder);

// Whether CreateProcessA takes a command line this long.
bool FitsCommandLine(const std::string& commandLine);

// The process's command line, whole, in UTF-8; empty if it cannot be read whole.
std::string CommandLine();

// Starts the client and lets it run on its own; true when the process was created.
bool StartClient(const std::string& commandLine, const std::string& currentDirectory);
