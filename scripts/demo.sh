#!/usr/bin/env bash
# Sets up, builds, and plays the built-in disc through our pass-through library's virtual drive.
# With a sound device it plays to the default device; without one it plays into ALSA's file sink
# and leaves a WAV file of exactly what was played. Press ENTER to stop, or let it play to the end.
#   scripts/demo.sh [cddaplay options, e.g. -t2]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target cddaplay wnaspi32

export CDDAPLAY_IMAGES="${CDDAPLAY_IMAGES:-builtin}"
if timeout 5 aplay -q -f cd -t raw /dev/null 2>/dev/null; then
  echo "demo: playing the built-in disc on the default sound device"
  exec build/linux/bin/cddaplay "$@"
fi

mkdir -p out
wav="$PWD/out/demo.wav"
rm -f "$wav"
conf="$PWD/out/demo-alsa.conf"
cat > "$conf" <<CONF
</usr/share/alsa/alsa.conf>
pcm.!default { type file slave.pcm "null" file "$wav" format "wav" }
CONF
echo "demo: no sound device here; playing into $wav"
status=0
ALSA_CONFIG_PATH="$conf" build/linux/bin/cddaplay "$@" || status=$?
if [ -s "$wav" ]; then
  echo "demo: what was played is in $wav ($(stat -c %s "$wav") bytes)"
fi
exit "$status"
