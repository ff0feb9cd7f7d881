#pragma once

#include <string>

// The command the platform runs for a link: the quoted handler path and the quoted link.
std::string OpenCommand(const std::string& handlerPath);

// Makes the handler path the current user's handler of the scheme. Failures are silent.
void RegisterProtocolHandler(const std::string& handlerPath);
