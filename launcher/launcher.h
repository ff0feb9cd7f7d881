#pragma once

#include <string>

// The running program's full file name, whatever its length; empty when it cannot be read.
std::string ModuleFileName();

// The folder part of a file name, trailing separator included; empty without a separator.
std::string ModuleDirectory(const std::string& moduleFileName);

// Starts the client and lets it run on its own; true when the process was created.
bool StartClient(const std::string& commandLine, const std::string& currentDirectory);
