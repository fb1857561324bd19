#!/usr/bin/env bash
# Runs the pinned Zig. CMake wants one executable per tool, so the compiler, archiver and
# resource-compiler wrappers beside this script all come through here.
set -euo pipefail
. "$(dirname "$0")/pin.sh"

if [ ! -x "$OSTREVANE_ZIG" ]; then
  echo "zig $OSTREVANE_ZIG_VERSION is not installed in $OSTREVANE_ZIG_HOME: run scripts/setup.sh" >&2
  exit 127
fi

# CMake asks for a GUI program with GCC's -mwindows, which Zig's clang driver ignores (the
# program would come out as a console one), so the subsystem is given to the linker instead.
args=()
for arg in "$@"; do
  case "$arg" in
    -mwindows) args+=(-Wl,--subsystem,windows) ;;
    *) args+=("$arg") ;;
  esac
done
exec "$OSTREVANE_ZIG" "${args[@]}"
