#pragma once

// Names both programs use. The macros serve the resource scripts as well as the code.
#define VELMORA_PRODUCT_NAME "Velmora Player"
#define VELMORA_UNINSTALLER_NAME "Velmora Player Uninstaller"
#define VELMORA_SCHEME "velmor-player"
#define VELMORA_CLASS_KEY "Software\\Classes\\" VELMORA_SCHEME

#ifndef RC_INVOKED

constexpr char kSchemeName[] = VELMORA_SCHEME;
constexpr char kLaunchUrlPrefix[] = VELMORA_SCHEME ":";
constexpr char kClassKeyPath[] = VELMORA_CLASS_KEY;
constexpr char kCommandKeyPath[] = VELMORA_CLASS_KEY "\\shell\\open\\command";
// An older release registered its scheme here; only the uninstaller still looks at it.
constexpr char kLegacyClassKeyPath[] = VELMORA_CLASS_KEY "-old";

constexpr char kLauncherDisplayName[] = VELMORA_PRODUCT_NAME;
constexpr char kUninstallerDisplayName[] = VELMORA_UNINSTALLER_NAME;

// Set at build time (VELMORA_SITE_HOST); ends the installed notice, forms the
// authentication URL and is named in the uninstaller's messages.
constexpr char kSiteHost[] = VELMORA_SITE_HOST;

#endif
