#!/usr/bin/env bash
# The packages as users meet them. Builds both (scripts/package.sh), has
# lintian review the .deb, installs it with apt-get, renders its manual page,
# mails one message through the installed /usr/bin/quib to a local smtp-sink,
# lets "quib -install" make the machine-wide settings folder, removes and
# purges the package, checks the version resources and hardening flags of the
# Windows files and runs quib.exe from the unpacked zip under Wine.
# The machine's own settings are never touched: -install, remove and purge
# run in a private mount namespace with an empty tmpfs on /var/lib/quib.
# Needs root (it installs a package and mounts); skipped otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "package stage skipped: installing the .deb needs root"
  exit 0
fi
bash scripts/install-deps.sh postfix groff-base man-db wine wine64 lintian systemd || exit 1
# The packages are made from the unit and windows stages' builds when
# they are there, so that nothing is compiled twice.
QUIB_PACKAGE_FROM="$ROOT/build-test $ROOT/build-win" bash scripts/package.sh || exit 1
DEB=$(ls "$ROOT"/dist/quib_*_*.deb)
ZIP=$(ls "$ROOT"/dist/quib-*-win64.zip)
VERSION=$(sed -nE 's/^project\(quib VERSION ([0-9.]+) .*/\1/p' CMakeLists.txt)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quib-package-XXXXXX")
SINK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/quib-package-sink-XXXXXX")
chown nobody "$SINK_DIR"  # smtp-sink writes as nobody
SINK_PID=""
MOUNT_POINT_MADE=""
export WINEPREFIX="$WORK/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  [ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null && wait "$SINK_PID" 2>/dev/null
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  # Only ever remove here: purging outside the namespace would delete the
  # machine's stored settings.
  dpkg -s quib 2>/dev/null | grep -q "^Status: install" && apt-get remove -y -qq quib >/dev/null
  [ -n "$MOUNT_POINT_MADE" ] && rmdir /var/lib/quib
  rm -rf "$WORK" "$SINK_DIR"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check <what> <command...>: one line per check
  local what=$1; shift
  if "$@" >"$WORK/check.log" 2>&1; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    sed 's/^/    /' "$WORK/check.log" | tail -20
    failed=$((failed + 1))
  fi
}

# ---- The Debian package ------------------------------------------------------
deb_holds_the_files() {
  local listed
  listed=$(dpkg-deb -c "$DEB" | awk '{print $1, $NF}')
  echo "$listed"
  for entry in "-rwxr-xr-x ./usr/bin/quib" "-rw-r--r-- ./usr/lib/quib/libgensock.so" \
      "-rw-r--r-- ./usr/lib/quib/libgensock-tls.so" \
      "-rw-r--r-- ./usr/share/man/man1/quib.1.gz" "-rw-r--r-- ./usr/share/doc/quib/copyright" \
      "-rw-r--r-- ./usr/share/doc/quib/changelog.gz" "-rw-r--r-- ./usr/share/lintian/overrides/quib" \
      "-rw-r--r-- ./usr/lib/systemd/user/quib-flush.service" \
      "-rw-r--r-- ./usr/lib/systemd/user/quib-flush.timer"; do
    grep -qxF -- "$entry" <<<"$listed" || { echo "missing: $entry"; return 1; }
  done
}
# Depends comes from dpkg-shlibdeps over the built binaries, not from a list.
deb_declares_what_it_links() {
  local depends
  depends=$(dpkg-deb -f "$DEB" Depends)
  echo "Depends: $depends"
  # The C++ runtime is linked in; OpenSSL comes with the TLS module.
  grep -q "libc6 (>=" <<<"$depends" && grep -q "libssl3 (>=" <<<"$depends"
}
check "quib_${VERSION}_amd64.deb holds quib, its socket library, the page, copyright, changelog" \
  deb_holds_the_files
check "the .deb declares the libraries it links" deb_declares_what_it_links
# lintian checks relro, bind-now, PIE and fortified calls; the stack
# protector leaves its trace in the imports.
lintian_passes() {
  lintian --pedantic -I -E --show-overrides --fail-on error,warning "$DEB" || return 1
  mkdir -p "$WORK/deb" && dpkg-deb -x "$DEB" "$WORK/deb"
  local file
  for file in usr/bin/quib usr/lib/quib/libgensock.so usr/lib/quib/libgensock-tls.so; do
    readelf --dyn-syms -W "$WORK/deb/$file" | grep " UND __stack_chk_fail" >/dev/null ||
      { echo "$file: no stack protector"; return 1; }
  done
}
check "lintian --pedantic finds no error or warning; the binaries have the stack protector" \
  lintian_passes
check "apt-get installs the .deb" \
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$DEB"

manual_page_renders() {
  local page=/usr/share/man/man1/quib.1.gz
  MANWIDTH=80 man -l "$page" >"$WORK/man.txt" 2>"$WORK/man.err" || return 1
  zcat "$page" | groff -man -ww -z 2>>"$WORK/man.err"
  cat "$WORK/man.err"
  [ ! -s "$WORK/man.err" ] && grep -q "^EXIT STATUS" "$WORK/man.txt"
}
check "man -l renders the installed page, groff -ww warns of nothing" manual_page_renders

units_verify() {
  local out
  out=$(systemd-analyze verify /usr/lib/systemd/user/quib-flush.service \
    /usr/lib/systemd/user/quib-flush.timer 2>&1)
  echo "$out"
  [ -z "$out" ]
}
check "systemd-analyze verify finds nothing to say about the flush's user units" units_verify

# ---- One message through the installed quib ----------------------------------
PORT=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/sbin/smtp-sink -c -u nobody -d "$SINK_DIR/%M%S." "127.0.0.1:$PORT" 16 >/dev/null 2>&1 &
SINK_PID=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.1
done
printf 'Sent by the installed quib.\n' >"$WORK/body.txt"
mkdir -p "$WORK/registry"

installed_quib_sends() {
  env -u LD_LIBRARY_PATH QUIB_REGISTRY="$WORK/registry" GENSOCK_TIMEOUT=10 /usr/bin/quib \
    "$WORK/body.txt" -t ann@example.org -f me@example.org -server "127.0.0.1:$PORT" \
    -s "package check" || return 1
  grep -l "Subject: package check" "$SINK_DIR"/* && grep -q "Sent by the installed quib." "$SINK_DIR"/*
}
check "/usr/bin/quib finds /usr/lib/quib/libgensock.so and mails through smtp-sink" \
  installed_quib_sends

# ---- -install, remove and purge, in a namespace of their own ------------------
if [ ! -e /var/lib/quib ]; then
  mkdir -p /var/lib/quib
  MOUNT_POINT_MADE=1
fi
# Run as root with a strict umask: every user must still read the settings.
EXPECTED_TREE='d 755 root root .
d 755 root root HKEY_LOCAL_MACHINE
d 755 root root HKEY_LOCAL_MACHINE/SOFTWARE
d 755 root root HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield
d 755 root root HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib
f 644 root root HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib/SMTP%20server.1
f 644 root root HKEY_LOCAL_MACHINE/SOFTWARE/Wendfield/Quib/Sender.1'
in_namespace() {
  unshare -m bash -c '
    set -e
    mount -t tmpfs -o mode=0755 tmpfs /var/lib/quib
    (umask 077 && env -u QUIB_REGISTRY /usr/bin/quib -install mail.example.org root@example.org)
    cd /var/lib/quib/registry
    find . -printf "%y %m %u %g %P\n" | sed "s/ $/ ./" | sort >"$1/tree"
    apt-get remove -y -qq -o DPkg::Lock::Timeout=600 quib >/dev/null
    [ -d /var/lib/quib/registry ] && echo "after remove: settings kept" >"$1/removed"
    cd /
    dpkg --purge quib >/dev/null
    [ ! -e /var/lib/quib/registry ] && echo "after purge: settings gone" >"$1/purged"
  ' in_namespace "$WORK"
}
in_namespace >"$WORK/namespace.log" 2>&1
install_makes_the_settings_folder() {
  diff <(echo "$EXPECTED_TREE") "$WORK/tree"
}
check "quib -install (umask 077) makes /var/lib/quib/registry root-owned, 0755/0644" \
  install_makes_the_settings_folder
check "apt-get remove keeps the stored settings" grep -q kept "$WORK/removed"
check "dpkg --purge removes them, and the package is gone" \
  bash -c "grep -q gone '$WORK/purged' && [ ! -e /usr/bin/quib ] && ! dpkg -s quib"
[ -f "$WORK/purged" ] || cat "$WORK/namespace.log"

# ---- The Windows zip -----------------------------------------------------------
mkdir -p "$WORK/zip"
(cd "$WORK/zip" && cmake -E tar xf "$ZIP")
FOLDER="$WORK/zip/quib-$VERSION-win64"
zip_holds_the_four_files() {
  local expected="quib-$VERSION-win64/LICENSE.txt
quib-$VERSION-win64/README.txt
quib-$VERSION-win64/gensock.dll
quib-$VERSION-win64/quib.exe"
  diff <(echo "$expected") <(cd "$WORK/zip" && find . -type f | sed 's|^\./||' | sort) &&
    ! grep -qv $'\r$' "$FOLDER/README.txt" "$FOLDER/LICENSE.txt" &&
    grep -qF 'HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib' "$FOLDER/README.txt" &&
    grep -q "^MIT License" "$FOLDER/LICENSE.txt"
}
check "the zip holds quib.exe, gensock.dll, README.txt (the registry key), LICENSE.txt, CR LF" \
  zip_holds_the_four_files
only_system_dlls() {
  local file imports
  for file in quib.exe gensock.dll; do
    imports=$(x86_64-w64-mingw32-objdump -p "$FOLDER/$file" | sed -n 's/^\s*DLL Name: //p')
    echo "$file imports:" $imports
    if grep -viqE '^(kernel32|advapi32|msvcrt|ws2_32|secur32|crypt32)\.dll$' <<<"$imports"; then
      return 1
    fi
  done
}
check "quib.exe and gensock.dll import system DLLs only" only_system_dlls
# The version resources as Windows reads them from the files (windres reads
# them back as resource script), and the loader's hardening flags.
versioned_and_hardened() {
  local file description resources value flag
  for file in quib.exe gensock.dll; do
    description="Quib command-line mail sender"
    [ $file = gensock.dll ] && description="Quib socket library"
    resources=$(x86_64-w64-mingw32-windres -i "$FOLDER/$file" -O rc | sed 's/^ *//') || return 1
    for value in "FILEVERSION ${VERSION//./, }, 0" "PRODUCTVERSION ${VERSION//./, }, 0" \
        "VALUE \"FileVersion\", \"$VERSION\"" "VALUE \"ProductVersion\", \"$VERSION\"" \
        'VALUE "ProductName", "Quib"' "VALUE \"FileDescription\", \"$description\"" \
        'VALUE "LegalCopyright", "Copyright (c) 2026 The Quib developers"'; do
      grep -qxF "$value" <<<"$resources" || { echo "$file lacks: $value"; return 1; }
    done
    x86_64-w64-mingw32-objdump -p "$FOLDER/$file" | grep -A3 "^DllCharacteristics" >"$WORK/flags"
    for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
      grep -qw $flag "$WORK/flags" || { echo "$file lacks $flag"; return 1; }
    done
  done
}
check "quib.exe and gensock.dll carry version $VERSION, ASLR (high entropy) and DEP" \
  versioned_and_hardened

wine_runs_the_zip() {
  wineboot -i >/dev/null 2>&1
  wineserver -w
  local status=0
  (cd "$FOLDER" && wine quib.exe -h >"$WORK/wine-usage.txt") || status=$?
  head -1 "$WORK/wine-usage.txt"
  [ "$status" -eq 1 ] || { echo "quib.exe -h: status $status"; return 1; }
  grep -q "^Quib v1.5: WinNT console utility to mail a file via SMTP" "$WORK/wine-usage.txt" ||
    return 1
  (cd "$FOLDER" && wine quib.exe "$(winepath -w "$WORK/body.txt")" -t bob@example.org \
    -f me@example.org -server "127.0.0.1:$PORT" -s "zip check") || return 1
  grep -l "Subject: zip check" "$SINK_DIR"/*
}
check "quib.exe -h runs from the unpacked zip under Wine, and mails with gensock.dll" \
  wine_runs_the_zip

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
