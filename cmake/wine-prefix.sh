#!/usr/bin/env bash
# Makes a Wine prefix for the tests: wine-prefix.sh DIR [managed] (64-bit, no Mono or Gecko prompt).
# The test displays run no window manager, so the prefix tells Wine to place its windows itself
# ("Managed" = N), as Windows does: a managed window waits up to 2 s at each hide for a window manager's
# answer that never comes, which costs about 4 s per window with a tray icon and nothing else.
# "managed" keeps Wine's default, windows as a window manager would hold them: the end-to-end test plays a
# user's desktop, where a window is focused and typed into as the desktop does it.
set -u
export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
mkdir -p "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot --init >/dev/null 2>&1
if [ "${2:-}" != managed ]; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 ||
        echo "wine-prefix: could not turn off window management in $WINEPREFIX" >&2
fi
wineserver -w
