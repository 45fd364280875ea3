#!/usr/bin/env bash
# Installs the Debian packages the module, its platform layers and its tests build against.
# A repeat run is a no-op.
set -euo pipefail
PKGS="cmake g++ make pkg-config libace-dev libyajl-dev libboost-dev libcurl4-openssl-dev libssl-dev \
uuid-dev libgtest-dev libgmock-dev libcpp-httplib-dev openssl"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -q $missing || { $SUDO apt-get update -q && $SUDO apt-get install -y -q $missing; }
