# The one Zig that the Windows cross builds use: PyPI's ziglang package at this version, in a
# folder of its own so no Python environment is touched. scripts/setup.sh installs it there.
OSTREVANE_ZIG_VERSION=0.17.1
OSTREVANE_ZIG_HOME="${OSTREVANE_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrevane}/ziglang-$OSTREVANE_ZIG_VERSION"
OSTREVANE_ZIG="$OSTREVANE_ZIG_HOME/ziglang/zig"
