#!/bin/sh
# Installs the Debian packages the build, the demo and the tests need, if any
# is missing. Runs apt-get as root, or through sudo.
set -e
packages="cmake make g++ pkg-config tcl8.6-dev tk8.6-dev zlib1g-dev libjpeg62-turbo-dev libx11-dev
libgtest-dev xvfb x11-utils tcllib libtk-img"
if [ "${1:-}" = "--test" ]; then
    packages="$packages time imagemagick gdal-bin python3-numpy python3-gdal python3-pil python3-sklearn libtiff-tools
        libjpeg-turbo-progs dcmtk clang libclang-rt-14-dev util-linux libfftw3-dev"
fi
missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=900 update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $missing
