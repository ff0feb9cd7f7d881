#pragma once

#include <string>

// Makes the handler path the current user's handler of the scheme. Failures are silent.
void RegisterProtocolHandler(const std::string& handlerPath);
