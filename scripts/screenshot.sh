#!/usr/bin/env bash
# Takes a picture of the launcher window at work, for the README:
#
#   bash scripts/screenshot.sh [OUTPUT.png]      (default docs/screenshot.png)
#
# Starts Xvfb on a free display, a reference server on a free port of
# 127.0.0.1 that publishes the demo browser padded to 96 MiB (so that the
# download lasts a few seconds), and the launcher window with that server on
# its command line. While the window downloads, the window alone is captured
# with ImageMagick's import; the pictures taken while the window was
# still up are kept, and the one from the middle of the download is saved. Everything started here is stopped at the end.
#
# CORVANE_BUILD_DIR=DIR: the build folder (default build/); the programs the
# picture needs are built there first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
output=${1:-$root/docs/screenshot.png}
build=$(cd "${CORVANE_BUILD_DIR:-build}" 2>/dev/null && pwd) || {
  echo "screenshot: no build folder; run scripts/build.sh first" >&2
  exit 1
}
cmake --build "$build" --target corvaneboot corvane-server nimbara-demo >/dev/null
bin=$build/bin
work=$(mktemp -d)

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number: no lock file and no socket.
display=
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=:$n; break; fi
done
[ -n "$display" ] || { echo "screenshot: no free display number" >&2; exit 1; }
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do xwininfo -display "$display" -root >/dev/null 2>&1 && break; sleep 0.1; done
export DISPLAY=$display

mkdir -p "$work/server/_WEBPATH/CorvanePage"
browser=$work/server/_WEBPATH/CorvanePage/Nimbara.exe
cp "$bin/nimbara-demo" "$browser"
head -c $((96 << 20)) /dev/urandom >>"$browser"
"$bin/corvane-server" --root "$work/server" --listen 127.0.0.1:0 --quiet 2>"$work/server.log" &
pids+=($!)
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.* serving .* on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "screenshot: corvane-server did not start" >&2; cat "$work/server.log" >&2; exit 1; }

# The demo browser that the launcher starts at the end closes at once.
export CORVANE_DEMO_SECONDS=1
"$bin/corvaneboot" "127.0.0.1\$$port\$*DIR*$work/home\$1\$DEMO01\$demo\$demo\$" \
  >"$work/launcher.log" 2>&1 &
launcher=$!
pids+=("$launcher")

# The launcher's window is the one of its client size.
window_id() {
  xwininfo -root -tree 2>/dev/null | awk '/450x177\+/ { print $1; exit }'
}
taken=0
for _ in $(seq 200); do
  sleep 0.4
  id=$(window_id)
  [ -n "$id" ] || { [ "$taken" -gt 0 ] && break; continue; }
  if import -window "$id" "$work/shot.png" 2>/dev/null && [ -n "$(window_id)" ]; then
    taken=$((taken + 1))
    mv "$work/shot.png" "$work/shot-$taken.png"
  fi
  kill -0 "$launcher" 2>/dev/null || break
done
if [ "$taken" -eq 0 ]; then
  echo "screenshot: the window was never captured" >&2
  cat "$work/launcher.log" >&2
  exit 1
fi
mkdir -p "$(dirname "$output")"
# The picture from the middle of the download.
cp "$work/shot-$(((taken + 1) / 2)).png" "$output"
echo "screenshot: $output (picture $(((taken + 1) / 2)) of $taken)"
