#!/usr/bin/env bash
# Installs, from Debian 12's packages, whatever the build and the tests still lack.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config   # the build
  qt6-base-dev                       # the window (Qt Widgets), the INI settings (QSettings), Qt tests
  libasio-dev                        # standalone Asio (headers only): the control connection and its timer
  libgtest-dev libgmock-dev          # the tests
  xvfb xauth                         # running the window where no display is attached
  iproute2 util-linux nftables       # private network namespaces and packet loss for the lab tests
  tftp-hpa curl                      # real TFTP clients that fetch the Main image in the tests
  clang libclang-rt-14-dev llvm      # the fuzz targets: libFuzzer, its sanitizers, symbolized reports
  nlohmann-json3-dev                 # the command line's --json output (header only)
  libssl-dev                         # SHA-256 of the firmware files in the saved log (libcrypto)
  libsystemd-dev                     # the sleep inhibitor: systemd-logind over the system bus (sd-bus)
  dbus python3-dbusmock              # the tests' private bus and stand-in logind
  dpkg-dev lintian libcap2-bin       # the Debian package: dpkg-shlibdeps, its check, setcap/getcap
  g++-mingw-w64-x86-64-posix         # the Windows build: MinGW-w64 with POSIX threads (std::thread)
  googletest                         # GoogleTest's source, cross-built for the Windows unit tests
  wine wine64                        # running the Windows programs and tests
  wixl zip unzip                     # the Windows installer (MSI) and zip, and their test
  fonts-wqy-microhei                 # a Big5 font with Latin letters for the Windows log under Wine
  librsvg2-bin icoutils              # the Windows icon from the SVG (rsvg-convert, icotool); reading resources (wrestool)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
