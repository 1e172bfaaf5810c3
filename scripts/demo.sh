#!/usr/bin/env bash
# Shows quib mailing a message end to end: builds it (Release, build-demo/),
# starts a throwaway SMTP server on a free loopback port, stores that server
# and a sender with -install in a temporary registry, mails a sample message
# with a subject, a recipient and a carbon copy, and shows what the server
# received. Installs what the machine lacks from Debian's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD="$ROOT/build-demo"
PYTHON=/usr/bin/python3

step() { printf '\n=== %s\n' "$*"; }

step "Packages"
bash scripts/install-deps.sh cmake g++ make libssl-dev python3 python3-aiosmtpd \
  nlohmann-json3-dev libcurl4-openssl-dev
echo "cmake, g++, python3 and python3-aiosmtpd are there"

step "Build (Release, $BUILD)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUIB_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
QUIB="$BUILD/bin/quib"
echo "built $QUIB"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quib-demo-XXXXXX")
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill "$SERVER_PID"
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

step "Throwaway SMTP server"
"$PYTHON" tests/fakes/keeping_smtp_server.py 127.0.0.1 0 "$WORK/received" "$WORK/port" \
  >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 1 100); do
  [ -s "$WORK/port" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || { cat "$WORK/server.log"; exit 1; }
  sleep 0.1
done
[ -s "$WORK/port" ] || { echo "the server did not start"; cat "$WORK/server.log"; exit 1; }
PORT=$(cat "$WORK/port")
echo "listening on 127.0.0.1:$PORT"

# The settings go to a registry folder of this demo only.
export QUIB_REGISTRY="$WORK/registry"
mkdir -p "$QUIB_REGISTRY"

step "quib -install 127.0.0.1:$PORT demo@example.org"
echo "(the registry is empty yet, so quib first says it found no stored settings)"
"$QUIB" -install "127.0.0.1:$PORT" demo@example.org

cat >"$WORK/sample.txt" <<'EOF'
Hello,

this message went through quib to a throwaway SMTP server.
The next line starts with a dot, which travels doubled and arrives single:
.signature follows
.

Bye
EOF

step "Sample message ($WORK/sample.txt)"
cat "$WORK/sample.txt"

step "quib sample.txt -s 'Quib demo' -t 'ann@example.org (Ann)' -c bob@example.org"
status=0
"$QUIB" "$WORK/sample.txt" -s "Quib demo" -t "ann@example.org (Ann)" -c bob@example.org || status=$?
echo "exit status: $status"

step "What the server received"
for envelope in "$WORK"/received/*.env; do
  [ -e "$envelope" ] || { echo "nothing"; break; }
  echo "--- envelope ($(basename "$envelope"))"
  {
    read -r helo && echo "HELO: $helo"
    read -r sender && echo "MAIL From: $sender"
    while read -r recipient; do echo "RCPT To: $recipient"; done
  } <"$envelope"
  echo "--- message (its CR LF line ends shown as plain line ends)"
  tr -d '\r' <"${envelope%.env}.eml"
done

step "Stopping the server"
kill "$SERVER_PID"
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=""
echo "stopped"
[ "$status" -eq 0 ]
