#pragma once

// The one door to the Windows calls: the narrow-character API, and the few wide calls that
// check what the narrow one could not carry.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

// MessageBoxA without an owner window, with user32.dll loaded only now; 0 if it cannot be
// shown, or where nobody could answer it.
int ShowMessageBox(const char* text, const char* caption, UINT style);

// Tells the shell that a URL scheme's registration changed, so it does not keep the old one.
void NotifyAssociationChanged();

// The account this process runs as, when that is not the one signed in to this Windows
// session ("Run as administrator" with another account's password); empty otherwise, or
// when it cannot be told.
std::string OtherAccountName();

// A wide string in the given code page; empty if it holds what that code page cannot carry.
std::string ToNarrow(const wchar_t* text, UINT codePage);
