#!/usr/bin/env bash
# Installs the Debian packages listed in .ci/packages.d/: those of the lists
# named as arguments, or of every list (the build, the tests and their peers).
# Only what is missing is installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

lists=("$top"/.ci/packages.d/*)
[ $# -gt 0 ] && lists=("${@/#/$top/.ci/packages.d/}")
mapfile -t wanted < <(cat "${lists[@]}" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
# Packages that would start a system service (freeradius, dnsmasq) must not.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod +x "$policy"
  made_policy=1
fi
trap '[ $made_policy -eq 1 ] && $SUDO rm -f "$policy"' EXIT
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
