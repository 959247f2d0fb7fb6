#!/usr/bin/env bash
# The launcher's demo, as a new user runs it on a fresh Debian 12 machine:
#
#   bash scripts/demo.sh
#
# 1. installs what is missing and builds (scripts/install-deps.sh, scripts/build.sh);
# 2. publishes the demo browser (nimbara-demo) as the server's
#    _WEBPATH\CorvanePage\Nimbara.exe in build/demo/server/;
# 3. starts corvane-server on a free port of 127.0.0.1;
# 4. stamps copies of the launcher with that server and the base folder
#    build/demo/home as their embedded parameter string (no argument needed);
# 5. runs the stamped window when a display is available, else the stamped
#    corvaneboot-cli; the launcher downloads Nimbara.exe into
#    build/demo/home/CorvaneBoot/127.0.0.1/CorvaneWeb/ and starts it;
# 6. stops the server (also on Ctrl-C or a failure).
#
# Run it a second time: the browser is found unchanged and nothing is
# downloaded. Close the demo browser's window first (it closes itself after
# CORVANE_DEMO_SECONDS, 20 by default): a running program cannot be replaced,
# so the launcher waits for it.
#
# CORVANE_BUILD_DIR=DIR uses an existing build folder instead of build/ and
# builds only the programs the demo needs there (no package installation).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -n "${CORVANE_BUILD_DIR:-}" ]; then
  build=$(cd "$CORVANE_BUILD_DIR" && pwd)
  cmake --build "$build" --target corvaneboot corvaneboot-cli corvaneboot-stamp \
    corvane-server nimbara-demo >/dev/null
else
  bash scripts/build.sh
  build=$root/build
fi
bin=$build/bin
demo=$build/demo
mkdir -p "$demo/server/_WEBPATH/CorvanePage" "$demo/home"

# The published browser keeps the build's time stamp, so an unchanged build
# stays unchanged on the server between runs.
published=$demo/server/_WEBPATH/CorvanePage/Nimbara.exe
if ! cmp -s "$bin/nimbara-demo" "$published"; then
  cp -p "$bin/nimbara-demo" "$published"
fi

log=$demo/server.log
"$bin/corvane-server" --root "$demo/server" --listen 127.0.0.1:0 2>"$log" &
server_pid=$!
stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}
trap stop_server EXIT

port=
for _ in $(seq 100); do
  port=$(sed -n 's/.* serving .* on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$log" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "demo: corvane-server did not start:" >&2
  cat "$log" >&2
  exit 1
fi
echo "demo: corvane-server serves $demo/server on 127.0.0.1:$port"

# host $ port $ *DIR*base folder $ module $ company code $ login id $ password $
parameters="127.0.0.1\$$port\$*DIR*$demo/home\$1\$DEMO01\$demo\$demo\$"
for program in corvaneboot corvaneboot-cli; do
  "$bin/corvaneboot-stamp" "$bin/$program" "$demo/$program" "$parameters"
done
echo "demo: stamped $demo/corvaneboot and $demo/corvaneboot-cli with \"$parameters\""

export CORVANE_DEMO_SECONDS=${CORVANE_DEMO_SECONDS:-20}
status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: running the window ($demo/corvaneboot)"
  "$demo/corvaneboot" || status=$?
else
  echo "demo: no display; running $demo/corvaneboot-cli"
  "$demo/corvaneboot-cli" || status=$?
fi
# The browser runs on its own; give it a moment to print before the summary.
sleep 1

pieces=$(grep -c ' GET_SERVER_FILE_STREAM ' "$log" || true)
echo "demo: launcher exit status $status; the server answered $pieces file piece request(s)"
if [ "$pieces" -eq 0 ] && [ "$status" -eq 0 ]; then
  echo "demo: Nimbara.exe was unchanged: nothing downloaded"
fi
exit "$status"
