#!/usr/bin/env bash
# Installs the Debian 12 packages Tivra needs to build and test. Idempotent: installs only what
# is missing, never asks.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev
  zlib1g-dev libpng-dev libjpeg62-turbo-dev libgif-dev libcurl4-openssl-dev libpugixml-dev
  gpsd gpsd-clients  # the GPS tests run a real gpsd through gpsfake (in gpsd-clients)
  # The window: Qt 6 Widgets (its offscreen platform runs the widget tests) and a font with the
  # Chinese labels.
  qt6-base-dev fonts-wqy-microhei
  # A decimal-comma locale for the test that numbers keep their point under any locale.
  locales
  libsqlite3-dev libssl-dev ca-certificates
  libisal-dev  # the tile store's content sums (CRC-32)
  # The globe in a browser: node and npm install the page's pinned globe library (web/), and the
  # browser tests drive Debian's chromium headless.
  nodejs chromium
  nlohmann-json3-dev  # the JSON answers of today's search and route services
  # The window under a real window manager on a virtual display, and Qt's own Chinese texts.
  xvfb openbox xdotool x11-utils qt6-translations-l10n
  dpkg-dev  # the Debian package: CPack reads library dependencies with dpkg-shlibdeps
)
# Some node builds bring their own npm, which Debian's npm package conflicts with.
command -v npm >/dev/null || packages+=(npm)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(libbenchmark-dev sqlite3 nginx-light wrk libvips-tools imagemagick gpsbabel linux-perf)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $([[ $(id -u) -eq 0 ]] || echo sudo) localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

# The globe library and the tests' browser driver, pinned in web/package.json, into
# web/node_modules (not in git). Only when what is there differs from the pins.
web="$(dirname "$0")/../web"
if ! node -e '
  const pins = require(process.argv[1] + "/package.json");
  const all = { ...pins.dependencies, ...pins.devDependencies };
  for (const [name, version] of Object.entries(all))
    if (require(process.argv[1] + "/node_modules/" + name + "/package.json").version !== version)
      process.exit(1);
' "$(cd "$web" && pwd)" 2>/dev/null; then
  (cd "$web" && npm install --no-audit --no-fund --loglevel=error)
fi
