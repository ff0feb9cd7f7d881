#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, and nothing that is already there.
# Wine for 32-bit programs needs the i386 architecture.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev libgmock-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 xvfb imagemagick locales-all
  chromium firefox-esr xdotool xdg-utils
  python3 python3-pytest nodejs python3-pefile python3-cryptography python3-asn1crypto osslsigncode faketime openssl ca-certificates softhsm2 libengine-pkcs11-openssl
  clang-14 clang-tidy cppcheck libclang-rt-14-dev git procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root (with i386 added: dpkg --add-architecture i386), or install sudo." >&2
    exit 1
  fi
  as_root=(sudo)
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
# Waits for another package manager that holds the lock, instead of failing at once.
wait_for_lock=(-o DPkg::Lock::Timeout=600)
"${as_root[@]}" apt-get "${wait_for_lock[@]}" update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait_for_lock[@]}" install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
