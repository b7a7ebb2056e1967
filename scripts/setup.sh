#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# skipping those already installed.  Uses sudo only when not root.
set -euo pipefail

# cpack -G DEB needs dpkg-shlibdeps (dpkg-dev) and the file utility (file);
# groff-base and man-db render and check the manual page; grads draws the maps
# of --maps, whose tests read the pictures back (libpng-dev) and open the page
# in a browser (chromium).
packages=(cmake g++ make pkg-config libnetcdf-dev netcdf-bin libgtest-dev libbenchmark-dev grads util-linux
  dpkg-dev file groff-base man-db libpng-dev chromium)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
echo "setup: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
