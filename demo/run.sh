#!/bin/sh
# demo/run.sh BUILD_DIR: runs the demo in wish against the package of the
# build, on the current display or on a private Xvfb server.
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
export TCLLIBPATH="$(cd "$build" && pwd)/krel"
export KREL_DEMO_OUT="$(cd "$build" && pwd)"
exec "$here/../tests/with-xvfb.sh" 24 wish "$here/demo.tcl"
