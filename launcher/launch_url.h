#pragma once

#include <string>

// The launch URL: the command line from the first "velmor-player:" on, less one closing quote.
std::string ExtractLaunchUrl(const std::string& commandLine);

// The value after the first "key:" in the payload, up to the next "+".
std::string GetLaunchParameter(const std::string& payload, const std::string& key);

// The value with every byte outside ASCII percent-encoded ("%D0%96"), as a browser that
// encodes links hands it over.
std::string PercentEncodeNonAscii(const std::string& value);

// Whether a parameter value may go into the client's command line.
bool IsUsableLaunchParameter(const std::string& value);

std::string AuthenticationUrl();

std::string BuildClientCommandLine(const std::string& clientPath, const std::string& authenticationUrl,
                                   const std::string& ticket, const std::string& joinScriptUrl,
                                   const std::string& contentPath);
