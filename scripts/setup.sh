#!/usr/bin/env bash
# Installs (with apt) every Debian package the build, the tests and the tools need.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib qemu-user
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  libcli11-dev libfmt-dev
  nlohmann-json3-dev zlib1g-dev lib32z1-dev golang-go chromium gcovr
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! command -v dotnet >/dev/null 2>&1; then
  echo "setup: warning: 'dotnet' is not on PATH; the end-to-end tests need the .NET SDK" >&2
fi
