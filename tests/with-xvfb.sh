#!/bin/sh
# with-xvfb.sh DEPTH command args...
# Runs the command with a display: its own Xvfb server of the given depth when
# there is no DISPLAY (or when KREL_XVFB=always, or for a depth other than
# 24), otherwise the display already set. DEPTH may list the depths of
# several screens, separated by commas ("24,8": screen 0 of 24 bits and
# screen 1 of 8).
depth=$1
shift
if [ -n "$DISPLAY" ] && [ "${KREL_XVFB:-}" != always ] && [ "$depth" = 24 ]; then
    exec "$@"
fi
if ! command -v Xvfb >/dev/null 2>&1; then
    echo "with-xvfb.sh: Xvfb is not installed and no DISPLAY is set" >&2
    exit 1
fi
# The server picks a free display number itself and writes it to the pipe
# (-displayfd): servers started side by side by a parallel ctest never race
# for the same number.
dir=$(mktemp -d "${TMPDIR:-/tmp}/krel-xvfb.XXXXXX") || exit 1
mkfifo "$dir/fd" || exit 1
screens=
i=0
for d in $(echo "$depth" | tr ',' ' '); do
    screens="$screens -screen $i 1280x1024x$d"
    i=$((i + 1))
done
Xvfb -displayfd 3 $screens -nolisten tcp -noreset 3>"$dir/fd" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM
n=$(timeout 20 head -n 1 "$dir/fd")
if [ -z "$n" ]; then
    echo "with-xvfb.sh: could not start Xvfb" >&2
    exit 1
fi
DISPLAY=:$n "$@"
