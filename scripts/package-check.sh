#!/usr/bin/env bash
# Builds the Debian package (build-pkg/, Release, only what the package holds), installs it with
# apt-get, runs the installed program once (version, a headless start on a free port with a
# temporary data directory, requests to its server and its installed page, SIGTERM) and removes
# it again. Needs root or sudo. CI runs it after the test suites.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# Tests off: the default target is then the programs, their libraries and the manual pages.
# -O2, as Debian builds its packages.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DTIVRA_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG"
cmake --build build-pkg -j2
rm -f build-pkg/tivra_*.deb
(cd build-pkg && cpack -G DEB)
debs=(build-pkg/tivra_*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || { echo "package-check: no single tivra_*.deb" >&2; exit 1; }
deb="${debs[0]}"
version=$(dpkg-deb -f "$deb" Version)
echo "package-check: $deb, depends: $(dpkg-deb -f "$deb" Depends)"

work=$(mktemp -d)
pid=""
finish() {
  local code=$?
  [[ -n "$pid" ]] && kill -KILL "$pid" 2>/dev/null
  $sudo apt-get remove -y -qq tivra >/dev/null || code=1
  rm -rf "$work"
  exit "$code"
}
trap finish EXIT
$sudo apt-get install -y -qq "./$deb"

fail() {
  echo "package-check: $*" >&2
  exit 1
}
for f in /usr/bin/tivra /usr/bin/tivra-store /usr/share/applications/tivra.desktop \
  /usr/share/icons/hicolor/64x64/apps/tivra.png /usr/share/man/man1/tivra.1.gz \
  /usr/share/man/man1/tivra-store.1.gz /usr/share/tivra/web/index.html; do
  [[ -f "$f" ]] || fail "the package did not install $f"
done
[[ "$(tivra --version)" == "tivra $version" ]] || fail "tivra --version says '$(tivra --version)'"

# A free port: the kernel picks one, and it is free again when node ends.
port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1",
  () => { console.log(s.address().port); s.close(); });')
printf '[settings]\r\nTcpPort=%s\r\n' "$port" >"$work/Tivra.ini"
XDG_RUNTIME_DIR="$work" tivra --headless -WW --data-dir "$work" 2>"$work/stderr" &
pid=$!

# The answer to one request, or nothing while nobody listens.
answer_of() {
  { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 0
  printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' "$1" >&3
  timeout 5 cat <&3 || true
  exec 3<&-
}
status_of() { answer_of "$1" | head -n 1 | tr -d '\r'; }
# A minute at most: a loaded machine starts it slowly.
for _ in $(seq 600); do
  [[ -n "$(status_of /globe/)" ]] && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/stderr" >&2; fail "tivra ended at start"; }
  sleep 0.1
done
# The installed program serves the installed page, and the globe's overlay endpoints.
[[ "$(status_of /globe/)" == "HTTP/1.1 200 OK" ]] || fail "the installed page is not served"
[[ "$(answer_of /GPSServer)" == *"<Document>"* ]] || fail "GPSServer is not answered"
if [[ -f /usr/share/tivra/web/cesium/Cesium.js ]]; then
  [[ "$(status_of /globe/cesium/Cesium.js)" == "HTTP/1.1 200 OK" ]] ||
    fail "the installed globe library is not served"
fi

kill -TERM "$pid"
code=0
wait "$pid" || code=$?
pid=""
[[ $code -eq 0 ]] || { cat "$work/stderr" >&2; fail "tivra ended with $code after SIGTERM"; }
[[ -f "$work/TivraCache.idx" ]] || fail "the store was not made in the data directory"
grep -q "^TcpPort=$port" "$work/Tivra.ini" || fail "the settings were not written at the end"
echo "package-check: $deb installs, runs, stops and is removed"
