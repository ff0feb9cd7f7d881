#pragma once

// Test hooks of the host emulation: set up the machine a program runs on, inject failures,
// and read back everything the program asked of Windows.
#include <string>
#include <vector>

#include "platform/win32.h"

namespace emu {

struct RegistryValue {
  DWORD type;
  std::string data;  // the bytes as stored, terminating zero included for REG_SZ
};

struct RegistryCall {
  std::string function;  // "RegCreateKeyExA", "RegSetValueExA", ...
  HKEY root;             // the predefined root the key lies under
  std::string path;      // the key concerned, from that root
  std::string valueName; // RegSetValueExA; "(default)" when no name was passed
  DWORD type;            // RegSetValueExA
  DWORD size;            // RegSetValueExA: byte count; RegEnumKeyExA: name buffer size passed in
  DWORD index;           // RegEnumKeyExA
  REGSAM access;         // RegCreateKeyExA, RegOpenKeyExA
  DWORD options;         // RegCreateKeyExA, RegOpenKeyExA
  bool plainArguments;   // reserved, class, security and disposition arguments all zero/null
  LONG result;
};

struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};

struct ProcessStart {
  bool applicationNameNull;
  std::string commandLine;
  bool commandLineWritable;  // not the caller's string literal: a buffer it may write into
  bool securityAttributesNull;
  BOOL inheritHandles;
  DWORD creationFlags;
  bool environmentNull;
  bool currentDirectoryNull;
  std::string currentDirectory;
  DWORD startupInfoSize;
  bool startupInfoOtherwiseZero;
};

// Back to a machine with an empty registry, no failures, nothing recorded, the module
// "C:\Games\Velmora\VelmoraPlayer.exe" and a command line naming only that module.
void Reset();

void PutKey(HKEY root, const std::string& path);
void PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
              const std::string& data);
bool HasKey(HKEY root, const std::string& path);
bool HasValue(HKEY root, const std::string& path, const std::string& name);
RegistryValue ValueOf(HKEY root, const std::string& path, const std::string& name);
std::vector<std::string> SubkeysOf(HKEY root, const std::string& path);
std::vector<std::string> ValueNamesOf(HKEY root, const std::string& path);

// Opening or creating this key (exactly this path) fails with the code.
void FailOpen(HKEY root, const std::string& path, LONG code);
// Deleting this key fails with the code.
void FailDelete(HKEY root, const std::string& path, LONG code);

const std::vector<RegistryCall>& RegistryCalls();
int OpenKeyCount();

// Answers for the next message boxes, in order; once they run out every box gets IDOK.
void AnswerMessageBoxes(const std::vector<int>& answers);
const std::vector<MessageBoxCall>& MessageBoxes();

void FailProcessCreation();
const std::vector<ProcessStart>& ProcessStarts();
int OpenHandleCount();

void SetModuleFileName(const std::string& name);
void FailModuleFileName();
void SetCommandLine(const std::string& commandLine);

}  // namespace emu
