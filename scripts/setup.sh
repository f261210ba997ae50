#!/usr/bin/env bash
# Installs everything the builds and tests need on a fresh Debian 12 machine,
# and fetches the third-party sources from Debian's source packages into
# build/third_party (never committed). Idempotent.
source "$(dirname "$0")/prologue.sh"
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake g++ make pkg-config dpkg-dev
  libcjson-dev libgtest-dev googletest libssl-dev
  g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 cups cups-client cups-bsd cups-filters libcups2-dev
  libcairo2-dev libgdk-pixbuf-2.0-dev
  # zlib: the label image check inflates PNG data (natively and in the .exe)
  zlib1g-dev libz-mingw-w64-dev
  xvfb x11-utils xdotool ghostscript imagemagick python3 curl
  chromium clang libclang-rt-14-dev llvm wrk strace fonts-wqy-microhei
  # The installers: wixl builds the MSI, msitools reads it back; lintian
  # checks the Debian package of the native printgate.
  wixl msitools lintian
  # The JavaScript client: its tests run under Node's test runner, and the
  # browser suite loads its page in Firefox ESR beside Chromium.
  nodejs firefox-esr
  # The GetPrinters benchmark's anchor: the bench starts nginx on loopback
  # with its own configuration and stops it by PID (the package's own
  # service is never used).
  nginx
  # the Linux printerwatch: udev discovery, systemd notices
  libudev-dev libsystemd-dev
  # its tests: virtual udev devices with scripted reads, driven from Python
  umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi
  # The bench's own Wine modules, built from Debian's wine source
  flex bison autoconf autotools-dev unicode-data icoutils librsvg2-bin
  libz-mingw-w64-dev
)
# Debian's npm packs the client; a Node.js that ships its own npm already
# provides (and conflicts with) the package.
command -v npm >/dev/null 2>&1 || packages+=(npm)

sources=/etc/apt/sources.list.d/debian.sources
if [ -f "$sources" ] && ! grep -q '^Types: deb-src' "$sources"; then
  # Same mirrors as the binary stanzas, for `apt-get source`.
  sed -n '/^Types: deb$/,/^$/p' "$sources" | sed 's/^Types: deb$/Types: deb-src/' > /etc/apt/sources.list.d/debian-src.sources
fi

# Several checkouts on one machine may run this at once; apt and dpkg allow
# one user at a time, so take turns instead of failing on their locks.
exec 9>/var/lock/printgate-setup.lock
flock 9

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
stamp=/var/lib/apt/lists/.printgate-src-updated
if [ ${#missing[@]} -gt 0 ] || [ ! -f "$stamp" ]; then
  apt-get update -q
  touch "$stamp"
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
fi

# Third-party sources: cpp-httplib's single header for both builds, cJSON's
# sources for the Windows build.
tp="$root/build/third_party"
mkdir -p "$tp"
fetch() { # package, a file that shows it is unpacked
  local pkg=$1 marker=$2
  if compgen -G "$tp/$pkg-*/$marker" >/dev/null; then return; fi
  (cd "$tp" && apt-get source --download-only -q "$pkg" && for d in "$pkg"_*.dsc; do dpkg-source -x --no-check "$d"; done)
}
fetch cjson cJSON.c
ln -sfn "$(ls -d "$tp"/cjson-*/ | head -n1)" "$tp/cjson"
bash "$root/scripts/fetch_httplib.sh" "$tp"
# The bench's Wine takes minutes of CPU: let other checkouts use apt meanwhile.
exec 9>&-
bash "$root/tests/bench-win/wine/build_wine.sh"
echo "setup: done"
