#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# Runs 'apt-get update' once, and only when something is missing. With
# CHECK_ONLY=1 it installs nothing: it names what is missing and fails.
set -euo pipefail

missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "${CHECK_ONLY:-0}" = 1 ]; then
  echo "missing packages: ${missing[*]}" >&2
  exit 1
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq -o DPkg::Lock::Timeout=600
# postfix asks how to configure itself; smtp-sink needs none of it.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
