#pragma once

#include <string>

// The running program's full file name, whatever its length; empty when it cannot be read.
std::string ModuleFileName();

// Whether the narrow name is the program's own, as we and a legacy-code-page client read it.
bool IsOwnFolderName(const std::string& moduleFileName);

// The process's command line, whole, in UTF-8; empty if it cannot be read whole.
std::string CommandLine();

// The folder part of a file name, trailing separator included; empty without a separator.
std::string ModuleDirectory(const std::string& moduleFileName);

// Starts the client and lets it run on its own; true when the process was created.
bool StartClient(const std::string& commandLine, const std::string& currentDirectory);
