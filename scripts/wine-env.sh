# The Wine environment of the project's programs, sourced by wine-run.sh and by the commands
# that must reach the same Wine: a prefix of the project's own, the en-US locale (ANSI code
# page 1252, which the conversion tests rely on), and no Mono, Gecko or menu entries. DLL
# overrides already in the environment come after the project's, so a test can add its own.
export WINEPREFIX="${OSTREVANE_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrevane/wine64}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export LC_ALL=en_US.UTF-8 LANG=en_US.UTF-8
