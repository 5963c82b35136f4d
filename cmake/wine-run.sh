#!/bin/sh
# Runs a Windows program under wine for CTest.  The caller (make
# test-windows) sets WINEPREFIX to a throw-away prefix and keeps a wineserver
# running; the defaults here only make a bare run safe.
#
# winedbg.exe is disabled on purpose: with it, a crashing program can end
# with status 0 and print its crash report on standard output.
: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d}"
export WINEDEBUG WINEDLLOVERRIDES
if [ -z "${WINEPREFIX:-}" ]; then
    echo "wine-run.sh: WINEPREFIX is not set (use make test-windows)" >&2
    exit 125
fi
WINE=${SYMKEEP_WINE:-}
if [ -z "$WINE" ]; then
    if [ -x /usr/lib/wine/wine64 ]; then WINE=/usr/lib/wine/wine64; else WINE=wine64; fi
fi
exec "$WINE" "$@"
