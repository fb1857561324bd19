#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, and nothing when all of
# it is already there.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils xdotool xclip imagemagick
  fuse3 libfuse3-dev
  ntfs-3g sleuthkit fdisk openssl
  dosfstools mtools exfatprogs exfat-fuse
  llvm
  python3
  locales
  prometheus prometheus-node-exporter python3-prometheus-client
)

# pip installs the pinned Zig below; Debian's own Python needs its package for that.
python3 -m pip --version >/dev/null 2>&1 || packages+=(python3-pip)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  # The Prometheus server and node exporter are for the tests, which start their own on free ports:
  # their packages must not start them as services, which would hold ports 9090 and 9100 (and,
  # without systemd, whose init script failing to start one fails the install). A policy that
  # forbids every start, for the install only, unless the machine has one of its own.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy"
    trap '"${sudo_cmd[@]}" rm -f "$policy"' EXIT
  fi
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  # Nor at the next boot, where this install brought them.
  for service in prometheus prometheus-node-exporter; do
    if [ -d /run/systemd/system ] && [[ " ${missing[*]} " == *" $service "* ]]; then
      "${sudo_cmd[@]}" systemctl disable "$service" >/dev/null 2>&1 || true
    fi
  done
fi

# Wine takes the ANSI code page from the locale: en_US.UTF-8 gives 1252, which the conversion
# tests assume.
if ! locale -a 2>/dev/null | grep -qix 'en_US.utf8'; then
  "${sudo_cmd[@]}" sed -i 's/^# *en_US.UTF-8 UTF-8/en_US.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi

# Zig from PyPI, pinned, in a folder of its own: the ARM64 cross compiler and the second x64
# toolchain (cmake/toolchain-zig-*.cmake). Installed only when that version is missing.
. "$(dirname "$0")/zig/pin.sh"
if [ "$("$OSTREVANE_ZIG" version 2>/dev/null)" != "$OSTREVANE_ZIG_VERSION" ]; then
  echo "Installing ziglang $OSTREVANE_ZIG_VERSION into $OSTREVANE_ZIG_HOME"
  rm -rf "$OSTREVANE_ZIG_HOME"
  python3 -m pip install --disable-pip-version-check --root-user-action=ignore --no-cache-dir --quiet \
    --target "$OSTREVANE_ZIG_HOME" "ziglang==$OSTREVANE_ZIG_VERSION"
fi
