#!/usr/bin/env bash
# Runs a command with a station-coordinate file visible at the fixed path that
# drought-export reads, /home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc.
#
#   scripts/at_fixed_path.sh STATION_FILE -- COMMAND [ARGS...]
#
# The command runs in the current folder; the script exits with its status.
#
# Preferred way: a private mount namespace (unshare; as root a plain mount
# namespace, otherwise a user namespace mapped to root).  Inside it a small
# tmpfs is mounted over the deepest existing folder on the fixed path, every
# original entry of that folder is bound back into the tmpfs (so the rest of
# the machine, the working folder and the command stay reachable by their
# usual paths), and the station file is copied to the fixed path.  Nothing
# outside the namespace sees any of it, and the real file system is never
# changed there; the command's own outputs in the current folder are real.
#
# Fallback, when namespaces are unavailable (or the fixed path's first folder
# is missing, since a tmpfs over / is out of the question): the file is
# created at the fixed path for the duration of the command, but only if no
# file is there or the file there is sample data written by dx-sample (global
# attribute dx_sample).  Anything else is refused with a message and left
# alone.  Folders and files created are removed afterwards; a sample file
# found there is put back.  Concurrent fallback runs wait for each other, on
# a lock file that they only read, so that any user can take it.
#
# Any failure to set things up (before the command starts) ends the script
# with status 125, which the tests take as a skip; after that, the status is
# the command's.
#
# Environment:
#   DX_FIXED_PATH_MODE  auto (default), namespace (no fallback), create (fallback only)
#   DX_SAMPLE           dx-sample binary used to recognise sample files
#                       (otherwise ncdump -h is used)
set -euo pipefail

readonly FIXED_PATH=/home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc
# The global attribute that marks dx-sample's files, as ncdump -h shows it.
readonly MARKER=$'\t\t:dx_sample = "drought-export sample data" ;'
readonly me=at_fixed_path.sh

die() { echo "$me: $*" >&2; exit 125; }
# A step of the set-up that fails unforeseen is a set-up failure too.
trap 'echo "$me: set-up failed at line $LINENO: $BASH_COMMAND" >&2; exit 125' ERR
usage() { die "usage: $me STATION_FILE -- COMMAND [ARGS...]"; }

# ------------------------------------------------------------ inner stage
# Runs as root inside the fresh mount namespace: sets up the fixed path and
# execs the command.  Arguments: --inner READY ANCESTOR -- COMMAND ARGS.  The
# station file arrives open on descriptor 5, and the ancestor folder is opened
# on descriptor 4 here (a bind mount needs a source in this namespace), so
# both stay reachable once the tmpfs covers them.  READY is
# created just before the command starts, telling the caller that a failure
# after that is the command's own.
if [ "${1:-}" = "--inner" ]; then
  [ $# -ge 5 ] && [ "$4" = "--" ] || die "internal: bad inner call"
  ready=$2 anc=$3
  shift 4
  # Setup runs in a subshell with errexit in force (a tested subshell would
  # silently lose it), so the first failing step stops it.
  set +e
  (
    set -e
    exec 4<"$anc"
    # The entry of the ancestor that leads on towards the fixed file.
    rest=${FIXED_PATH#"${anc%/}"/}
    next=${rest%%/*}
    perm=$(stat -L -c %a /proc/self/fd/4) owner=$(stat -L -c %u /proc/self/fd/4) group=$(stat -L -c %g /proc/self/fd/4)
    # In a user namespace the folder's owner may be unmapped; then the tmpfs
    # keeps the namespace's root as owner.
    mount -t tmpfs -o "size=8m,mode=$perm,uid=$owner,gid=$group" dx-fixed-path "$anc" 2>/dev/null ||
      mount -t tmpfs -o "size=8m,mode=$perm" dx-fixed-path "$anc"
    shopt -s nullglob dotglob
    for path in /proc/self/fd/4/*; do
      name=${path##*/}
      [ "$name" = "$next" ] && continue
      if [ -L "$path" ]; then
        cp -P -- "$path" "$anc/$name"
      elif [ -d "$path" ]; then
        mkdir -- "$anc/$name"
        mount --no-canonicalize --rbind "$path" "$anc/$name"
      else
        : >"$anc/$name"
        mount --no-canonicalize --bind "$path" "$anc/$name"
      fi
    done
    mkdir -p -- "${FIXED_PATH%/*}"
    cat <&5 >"$FIXED_PATH"
    chmod 0644 -- "$FIXED_PATH"
  )
  [ $? -eq 0 ] || die "cannot provide $FIXED_PATH inside a private mount namespace"
  set -e
  exec 5<&-
  : >"$ready" || die "$ready: cannot write"
  exec "$@"
fi

# ------------------------------------------------------------ arguments
[ $# -ge 3 ] && [ "$2" = "--" ] || usage
station=$1
shift 2
[ -f "$station" ] && [ -r "$station" ] || die "$station: no such readable file"
station=$(realpath -- "$station")

# Resolve the command now, while every path is still what the caller sees.
cmd=$1
name=$1
shift
if [[ "$cmd" == */* ]]; then
  [ -x "$cmd" ] && [ ! -d "$cmd" ] || die "$cmd: not an executable file"
  cmd=$(realpath -- "$cmd")
else
  cmd=$(type -P -- "$cmd") || die "$name: command not found"
fi

mode=${DX_FIXED_PATH_MODE:-auto}
case "$mode" in
  auto | namespace | create) ;;
  *) die "DX_FIXED_PATH_MODE must be auto, namespace or create, not '$mode'" ;;
esac

# Deepest existing real folder (not a symbolic link) on the way to the file.
ancestor=${FIXED_PATH%/*}
while [ -n "$ancestor" ] && { [ ! -d "$ancestor" ] || [ -L "$ancestor" ]; }; do
  ancestor=${ancestor%/*}
done

# ------------------------------------------------------------ namespace
if [ "$mode" != create ]; then
  ns=()
  # Why there is no namespace, for the messages below.
  why="unshare is not installed"
  [ -n "$ancestor" ] || why="no folder of $FIXED_PATH exists to mount over"
  if [ -n "$ancestor" ] && command -v unshare >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
      ns=(unshare --mount --propagation private)
    else
      ns=(unshare --user --map-root-user --mount --propagation private)
    fi
    why=$("${ns[@]}" true 2>&1) || ns=()
  fi
  if [ ${#ns[@]} -gt 0 ]; then
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/dx-fixed-path.XXXXXX")
    status=0
    "${ns[@]}" bash "$0" --inner "$tmp/ready" "$ancestor" -- "$cmd" "$@" 5<"$station" || status=$?
    started=0
    [ -e "$tmp/ready" ] && started=1
    rm -rf -- "$tmp"
    [ "$started" = 1 ] && exit "$status"
  fi
  [ "$mode" = namespace ] && die "no private mount namespace available to provide $FIXED_PATH: ${why:-it could not be set up}"
  echo "$me: no private mount namespace here (${why:-it could not be set up}); creating $FIXED_PATH for the run" >&2
fi

# ------------------------------------------------------------ fallback
is_sample() {
  if [ -n "${DX_SAMPLE:-}" ]; then
    "$DX_SAMPLE" --is-sample "$1" 2>/dev/null
  elif command -v ncdump >/dev/null; then
    local header
    header=$(ncdump -h -- "$1" 2>/dev/null) && grep -qxF -- "$MARKER" <<<"$header"
  else
    echo "$me: cannot tell whether $1 is sample data (set DX_SAMPLE or install ncdump)" >&2
    return 1
  fi
}

# One fallback run at a time: they would share the one fixed path.  The
# lock file is only read: one left by another user, or where it cannot be
# written (fs.protected_regular, a read-only folder), serves as well.
command -v flock >/dev/null || die "flock is needed to share $FIXED_PATH safely"
lock=${TMPDIR:-/tmp}/dx-fixed-path.lock
[ -e "$lock" ] || (umask 022 && : >>"$lock") 2>/dev/null || true
exec 9<"$lock" || die "$lock: cannot open the lock shared by the fallback runs"
flock 9 || die "$lock: cannot take the lock shared by the fallback runs"

dir=${FIXED_PATH%/*}
created_dirs=()
backup=
wrote=0
cleanup() {
  set +e
  trap - ERR
  if [ "$wrote" = 1 ]; then
    if [ -n "$backup" ]; then mv -f -- "$backup" "$FIXED_PATH"; else rm -f -- "$FIXED_PATH"; fi
  fi
  local i
  for ((i = ${#created_dirs[@]} - 1; i >= 0; i--)); do rmdir -- "${created_dirs[i]}" 2>/dev/null; done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -e "$FIXED_PATH" ] || [ -L "$FIXED_PATH" ]; then
  if [ -L "$FIXED_PATH" ] || [ ! -f "$FIXED_PATH" ] || ! is_sample "$FIXED_PATH"; then
    die "refusing to touch $FIXED_PATH: it exists and is not sample data written by dx-sample; move it away or run where unshare works"
  fi
  backup="$dir/.SPI_Stn.nc.dx-backup.$$"
  cp -p -- "$FIXED_PATH" "$backup" || die "$backup: cannot save the sample file found there"
  wrote=1
  cp -- "$station" "$FIXED_PATH" || die "$FIXED_PATH: cannot write"
else
  # Create the missing folders one by one, remembering each for removal.
  d=$dir
  missing=()
  while [ ! -d "$d" ]; do
    [ -e "$d" ] || [ -L "$d" ] && die "refusing to touch $d: it exists and is not a folder"
    missing=("$d" "${missing[@]}")
    d=${d%/*}
  done
  for d in "${missing[@]}"; do
    mkdir -- "$d" || die "$d: cannot create the folder"
    created_dirs+=("$d")
  done
  # noclobber: never replace a file that appeared meanwhile.
  (set -o noclobber; cat -- "$station" >"$FIXED_PATH") || die "$FIXED_PATH: cannot create it (or it appeared meanwhile)"
  wrote=1
fi

status=0
"$cmd" "$@" || status=$?
exit "$status"
