#!/usr/bin/env bash
# Runs a Windows console program under wine64, headless and quiet:
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
# The wine prefix is build-win/wineprefix unless WINEPREFIX names another;
# the first run creates it (a few seconds). No display, no Mono or Gecko
# installers, no debug chatter unless WINEDEBUG asks for it. The program's
# exit status is this script's.
#
# KES_WIN_WINDIR=DIR runs the program with WINDIR set to DIR (a Linux path,
# given to the program as its Z: drive path). Wine replaces the WINDIR a
# Linux parent hands it with its own C:\windows, so it is set inside the
# Windows process tree, through cmd.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

wine=""
for w in wine64 /usr/lib/wine/wine64; do
  if command -v "$w" >/dev/null 2>&1; then wine=$(command -v "$w"); break; fi
done
if [ -z "$wine" ]; then
  echo "wine-run.sh: wine64 is not installed (scripts/setup-debian.sh installs it)" >&2
  exit 127
fi

export WINEPREFIX=${WINEPREFIX:-$root/build-win/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"

if [ $# -eq 0 ]; then
  echo "usage: wine-run.sh PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

if [ -n "${KES_WIN_WINDIR:-}" ]; then
  case "$KES_WIN_WINDIR" in
    /*) ;;
    *) echo "wine-run.sh: KES_WIN_WINDIR must be an absolute path" >&2; exit 2 ;;
  esac
  # Wine quotes each argument it hands cmd on its own, so the words go as
  # they are; cmd's special characters would be read by cmd and are
  # refused rather than passed on changed.
  prog=$1
  shift
  # cmd knows Windows paths only: an absolute Linux path is on drive Z:.
  case "$prog" in /*) prog="Z:${prog//\//\\}" ;; esac
  windir="Z:${KES_WIN_WINDIR//\//\\}"
  for a in "$windir" "$prog" "$@"; do
    case "$a" in
      *'"'* | *'%'* | *'^'* | *'&'* | *'|'* | *'<'* | *'>'* | *'('* | *')'*)
        echo "wine-run.sh: argument not passable through cmd: $a" >&2
        exit 2
        ;;
    esac
  done
  case "$windir" in
    *' '*) echo "wine-run.sh: KES_WIN_WINDIR must not hold a space" >&2; exit 2 ;;
  esac
  exec "$wine" cmd /d /c set "WINDIR=$windir&&" "$prog" "$@"
fi
exec "$wine" "$@"
