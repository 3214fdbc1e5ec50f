#!/bin/bash
# Runs a program of the Windows build under Wine: the SDK's and the
# compiler's DLLs on the path, a Wine prefix of its own (made on first use,
# WINEPREFIX to choose another), Wine's own messages off.
#   wine-run.sh [--qtest] PROGRAM.exe [ARGUMENTS...]
# --qtest: a Qt Test program. Under Wine its log does not reach a redirected
# standard output, so it goes to a file that is printed afterwards.
set -u
here=$(cd "$(dirname "$0")" && pwd)
sdk=${WIN_SDK:-/opt/corvane-win-sdk}
gcc_dll=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
export WINEPREFIX=${WINEPREFIX:-$HOME/.cache/corvane-wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPATH="$(winpath "$sdk/bin");$(winpath "$gcc_dll");$(winpath /usr/x86_64-w64-mingw32/lib)"
# No Mono or Gecko installers asked for.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine passes no QT_ variable on from Linux: Qt's offscreen platform (there is
# no display) and Wine's fonts are set in the prefix's own environment. Qt
# finds its plugins beside the SDK's DLLs.
mkdir -p "$(dirname "$WINEPREFIX")"
(
    # Tests run two at a time: one makes the prefix, the other waits for it.
    flock 9
    if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
        wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d 'Z:\usr\share\wine\fonts' /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.corvane-ready"
    fi
) 9>"$WINEPREFIX.lock"
qtest=0
if [ "${1:-}" = --qtest ]; then
    qtest=1
    shift
fi
if [ "$qtest" = 0 ]; then
    exec wine "$@"
fi
log=$(mktemp /tmp/corvane-qtest.XXXXXX)
trap 'rm -f "$log"' EXIT
wine "$@" -o "$(winpath "$log"),txt"
rc=$?
cat "$log"
exit $rc
