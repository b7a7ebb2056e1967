#!/usr/bin/env bash
# Installs the Debian packages a task needs, skipping those already
# installed.  Uses sudo only when not root.  Prints one line per step; the
# package manager's own output goes to a log file, removed when the step
# succeeds and named when it fails.
#
#   scripts/setup.sh           what the tool, its build and --maps need (the demo)
#   scripts/setup.sh --tests   that, and what the tests, the benchmarks and the
#                              Debian package need (scripts/test.sh, CI)
set -euo pipefail

# The build (CMake, a C++20 compiler, the netCDF C library), GrADS, which
# draws the maps of --maps, and man (man-db), which shows the manual page.
packages=(cmake g++ make libnetcdf-dev grads man-db)
case "${1:-}" in
  "") ;;
  --tests)
    # ncdump (netcdf-bin) and util-linux (unshare, flock, setpriv) for the
    # tests around the fixed station path; GoogleTest, and Google Benchmark
    # for the micro-benchmarks; libpng-dev reads the pictures of --maps
    # back, chromium opens their page; cpack -G DEB needs dpkg-shlibdeps
    # (dpkg-dev) and the file utility (file); lintian checks the package;
    # groff-base renders and checks the manual page.
    packages+=(pkg-config netcdf-bin util-linux libgtest-dev libbenchmark-dev libpng-dev chromium dpkg-dev file
      lintian groff-base)
    ;;
  *)
    echo "usage: scripts/setup.sh [--tests]" >&2
    exit 2
    ;;
esac

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
