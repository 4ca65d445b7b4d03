#!/bin/sh
# with-xvfb.sh DEPTH command args...
# Runs the command with a display: its own Xvfb server of the given depth on
# a free display number when there is no DISPLAY (or when KREL_XVFB=always),
# otherwise the display already set.
depth=$1
shift
if [ -n "$DISPLAY" ] && [ "${KREL_XVFB:-}" != always ] && [ "$depth" = 24 ]; then
    exec "$@"
fi
if ! command -v Xvfb >/dev/null 2>&1; then
    echo "with-xvfb.sh: Xvfb is not installed and no DISPLAY is set" >&2
    exit 1
fi
n=$(( ($$ % 400) + 100 ))
tries=0
while :; do
    if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then
        Xvfb :$n -screen 0 1280x1024x$depth -nolisten tcp -noreset >/dev/null 2>&1 &
        pid=$!
        i=0
        while [ $i -lt 50 ] && [ ! -e /tmp/.X11-unix/X$n ] && kill -0 $pid 2>/dev/null; do
            sleep 0.1
            i=$((i + 1))
        done
        if [ -e /tmp/.X11-unix/X$n ]; then break; fi
        kill $pid 2>/dev/null
    fi
    n=$((n + 1))
    tries=$((tries + 1))
    if [ $tries -gt 50 ]; then
        echo "with-xvfb.sh: could not start Xvfb" >&2
        exit 1
    fi
done
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT INT TERM
DISPLAY=:$n "$@"
status=$?
exit $status
