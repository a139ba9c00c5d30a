#!/usr/bin/env bash
# Runs a 64-bit Windows program of this build under wine64, as CTest's emulator for the win64
# preset and as the launcher of the end-to-end tests:
# - a private, throw-away wine prefix in the build tree, created once (WINEPREFIX may override it);
# - WINEDEBUG=-all, no display needed;
# - our WNASPI32.DLL beside the program wins over Wine's built-in one (WINEDLLOVERRIDES may override);
# - waveOut plays into ALSA's file sink unless ALSA_CONFIG_PATH is already set.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${CDDAPLAY_WIN64_BUILD:-$here/../build/win64}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-wnaspi32=n}"
unset DISPLAY WAYLAND_DISPLAY
if [ -z "${ALSA_CONFIG_PATH:-}" ]; then
  conf="$build/wine-alsa.conf"
  if [ ! -f "$conf" ]; then
    printf '</usr/share/alsa/alsa.conf>\npcm.!default { type file slave.pcm "null" file "%s" format "raw" }\n' \
      "$build/wine-audio.raw" > "$conf"
  fi
  export ALSA_CONFIG_PATH="$conf"
fi

wine=/usr/lib/wine/wine64
if [ ! -x "$wine" ]; then
  echo "wine64-run: $wine is missing (scripts/setup.sh --windows-tests installs it)" >&2
  exit 127
fi
# Create the prefix once, serialised so parallel first runs do not race.
mkdir -p "$WINEPREFIX"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
  fi
) 9>"$WINEPREFIX.lock"

# One wine server for the whole test run, lingering 30 s after its last program: consecutive runs
# never race a server that is shutting down. (Exits at once when one is already running.)
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true

# Wine's own system processes (services, plugplay, ...) inherit the program's output and linger
# after it: keep them off the caller's pipes. The program writes to files that are streamed to our
# output while it runs; its standard input is passed through (ENTER must reach it).
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
: >"$tmp/out"
: >"$tmp/err"
"$wine" "$@" <&0 >>"$tmp/out" 2>>"$tmp/err" &
pid=$!
tail -q -s 0.02 --pid="$pid" -f "$tmp/out" &
out_tail=$!
tail -q -s 0.02 --pid="$pid" -f "$tmp/err" >&2 &
err_tail=$!
status=0
wait "$pid" || status=$?
wait "$out_tail" "$err_tail" || true
exit "$status"
