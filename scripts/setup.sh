#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# skipping those already installed.  Uses sudo only when not root.  Prints
# one line per step; the package manager's own output goes to a log file,
# whose path is printed when a step fails.
set -euo pipefail

# cpack -G DEB needs dpkg-shlibdeps (dpkg-dev) and the file utility (file);
# lintian checks the package; groff-base and man-db render and check the
# manual page; grads draws the maps of --maps, whose tests read the pictures
# back (libpng-dev) and open the page in a browser (chromium).
packages=(cmake g++ make pkg-config libnetcdf-dev netcdf-bin libgtest-dev libbenchmark-dev grads util-linux
  dpkg-dev file lintian groff-base man-db libpng-dev chromium)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
log=$(mktemp "${TMPDIR:-/tmp}/drought-export-setup.XXXXXX.log")
# Runs one step with its output in the log; on failure, says where to look.
step() {
  local what=$1
  shift
  echo "setup: $what"
  if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive "$@" >>"$log" 2>&1; then
    echo "setup: failed: $what; the package manager's messages are in $log" >&2
    exit 1
  fi
}
step "updating the package lists" apt-get update
step "installing ${missing[*]}" apt-get install -y --no-install-recommends "${missing[@]}"
rm -f -- "$log"
echo "setup: done"
