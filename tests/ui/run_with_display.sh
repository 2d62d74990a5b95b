#!/bin/sh
# Runs a Windows test program through wine-run with an X server of its own (Xvfb on a
# free display), so that its windows and dialogs can be created; the server ends with
# the run. Exits 77 (skipped) when Xvfb is not installed.
# Wine's desktop stays bound to the display its session started on, and a session
# outlives a run by a minute: the run gets a Wine prefix of its own beside the program
# (wineprefix-display, one run at a time), whose session ends with the X server.
# usage: run_with_display.sh WINE_RUN PROGRAM [ARGUMENTS...]
set -u
wine_run="$1"
shift
LANTERNIX_WINEPREFIX="$(cd "$(dirname "$1")" && pwd)/wineprefix-display"
export LANTERNIX_WINEPREFIX
end_wine_session() {
  WINEPREFIX="$LANTERNIX_WINEPREFIX" "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k 2>/dev/null || true
}
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is not installed (scripts/setup installs it): no display for window tests"
  exit 77
fi
number=90
while [ "$number" -lt 160 ]; do
  if [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; then
    number=$((number + 1))
    continue
  fi
  Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  server=$!
  tries=0
  # Another run may have taken the same display a moment earlier: its server exits.
  while kill -0 "$server" 2>/dev/null && [ ! -e "/tmp/.X11-unix/X$number" ] && [ "$tries" -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
  if [ -e "/tmp/.X11-unix/X$number" ] && kill -0 "$server" 2>/dev/null; then
    LANTERNIX_DISPLAY=":$number" sh "$wine_run" "$@"
    status=$?
    end_wine_session
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    exit "$status"
  fi
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  number=$((number + 1))
done
echo "could not start Xvfb on any display from :90 to :159"
exit 1
