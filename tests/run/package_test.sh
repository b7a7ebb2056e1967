#!/usr/bin/env bash
# The Debian package: built with cpack from the build folder into a
# temporary folder, checked with lintian (no tag at all, down to the
# pedantic ones: among them the binary's hardening, a stack protector,
# checked string functions, relocations read-only and bound at start-up;
# the package's own overrides answer false alarms), unpacked with dpkg-deb,
# and its binary run on a small sample network.
#
#   package_test.sh BUILD_DIR DX_SAMPLE VERSION [SANITIZED]
#
# With SANITIZED 1 (a build under the sanitizers, which check the string
# and memory functions themselves and exclude _FORTIFY_SOURCE), lintian's
# tag for unchecked functions is the one tag let through.
#
# Exits 77 (skipped) where cpack, dpkg-deb, dpkg-shlibdeps or lintian is
# missing (scripts/setup.sh installs them).
set -euo pipefail
build=$1 sample=$2 version=$3 sanitized=${4:-0}

for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/dx-package.XXXXXX")
trap 'rm -rf -- "$tmp"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
deb=$tmp/pkg/drought-export_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$tmp/pkg")"

# Debian's own checks: any tag fails the test.
suppress=()
[ "$sanitized" = 1 ] && suppress=(--suppress-tags hardening-no-fortify-functions)
lintian -I --pedantic --fail-on error,warning,info,pedantic "${suppress[@]}" "$deb" >"$tmp/lintian.log" 2>&1 ||
  { cat "$tmp/lintian.log" >&2; fail "lintian reports tags"; }

# The tool, its manual page, copyright file, changelog and lintian
# overrides, nothing else; the libraries it needs as dependencies.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)
[ "$files" = "./usr/bin/drought-export
./usr/share/doc/drought-export/changelog.gz
./usr/share/doc/drought-export/copyright
./usr/share/lintian/overrides/drought-export
./usr/share/man/man1/drought-export.1.gz" ] || fail "the package holds: $files"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libnetcdf* && "$depends" == *libc6* ]] || fail "Depends: $depends"

dpkg-deb -x "$deb" "$tmp/root"
# The manual page and the changelog carry the package's version.
gzip -dc "$tmp/root/usr/share/man/man1/drought-export.1.gz" >"$tmp/man.1"
grep -q "^\.TH DROUGHT-EXPORT 1 \"[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]\" \"drought-export $version\"" "$tmp/man.1" ||
  fail "the manual page's header does not carry the version $version and a date"
gzip -dc "$tmp/root/usr/share/doc/drought-export/changelog.gz" >"$tmp/changelog"
[[ "$(head -n 1 "$tmp/changelog")" == "drought-export ($version) "* ]] || fail "the changelog's last entry is not for $version"
bin=$tmp/root/usr/bin/drought-export
printed=$("$bin" --version) || fail "--version failed"
[ "$printed" = "drought-export $version" ] || fail "--version printed: $printed"

mkdir "$tmp/net"
"$sample" --out "$tmp/net" --stations 20 --seed 1 >/dev/null
(cd "$tmp/net" && "$bin" --station-file SPI_Stn.nc >"$tmp/run.log") || fail "the packaged tool failed: status $?"
outputs=$(find "$tmp/net" -maxdepth 1 -type f \( -name '*.txt' -o -name '*.dat' -o -name '*.ctl' \) | wc -l)
[ "$outputs" -eq 81 ] || fail "$outputs outputs, expected 81"
echo "ok: $(basename "$deb"), Depends: $depends"
