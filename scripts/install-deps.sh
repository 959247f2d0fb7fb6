#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and
# run its demo. Idempotent: prints nothing and touches nothing when all are present;
# runs `apt-get update` only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config g++
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  zlib1g-dev libcurl4-openssl-dev libssl-dev libdeflate-dev
  qt6-base-dev libmicrohttpd-dev
  fonts-arphic-uming xvfb xauth x11-utils imagemagick
  nginx rsync tinyproxy curl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx and tinyproxy are peers the benchmarks and tests start themselves on
# 127.0.0.1; the packaged system services must not hold their ports.
for svc in nginx tinyproxy; do
  if command -v systemctl >/dev/null 2>&1; then $sudo systemctl disable --now "$svc" >/dev/null 2>&1 || true; fi
  if command -v service >/dev/null 2>&1; then $sudo service "$svc" stop >/dev/null 2>&1 || true; fi
done
