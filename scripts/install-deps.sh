#!/bin/sh
# Installs the Debian packages that building, running and testing KestDB CRM need.
# Idempotent: packages already present are skipped, so a second run costs one dpkg query.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config git
clang libclang-rt-14-dev
libgtest-dev libgmock-dev libbenchmark-dev
qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev libqt6svg6 qt6-qpa-plugins
libsqlite3-dev sqlite3 libpq-dev postgresql postgresql-contrib
libsodium-dev libjpeg62-turbo-dev libsane-dev sane-utils
libxlsxwriter-dev libfreexl-dev libminizip-dev libexpat1-dev liblmdb-dev
fonts-arphic-uming fontconfig xvfb xauth
libfontconfig-dev
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" != "0" ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
