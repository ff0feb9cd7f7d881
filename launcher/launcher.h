#pragma once

#include <string>

// The running program's full file name, whatever its length; empty when it cannot be read.
std::string ModuleFileName();

// The install folder as the platform and the client are told it: as it is where Windows and
// a client reading its command line in the legacy code page can both read it, else by its
// short name; false when it has no name they can read.
bool InstallFolders(const std::string& moduleFileName, std::string& handlerFolder, std::string& clientFolder);

// Whether CreateProcessA takes a command line this long.
bool FitsCommandLine(const std::string& commandLine);

// The process's command line, whole, in UTF-8; empty if it cannot be read whole.
std::string CommandLine();

// The folder part of a file name, trailing separator included; empty without a separator.
std::string ModuleDirectory(const std::string& moduleFileName);

// Starts the client and lets it run on its own; true when the process was created.
bool StartClient(const std::string& commandLine, const std::string& currentDirectory);
