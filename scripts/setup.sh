#!/usr/bin/env bash
# Installs what a job needs on a fresh Debian 12 machine, and fetches the
# third-party sources from Debian's source packages into build/third_party
# (never committed). Idempotent.
#   setup.sh native   the native printgate and its private CUPS scheduler
#                     (what scripts/run.sh needs)
#   setup.sh wine     that, the cross build and the bench's Wine (run.sh --wine)
#   setup.sh          everything the builds and every test need
source "$(dirname "$0")/prologue.sh"
export DEBIAN_FRONTEND=noninteractive
part=${1:-all}
case $part in native|wine|all) ;; *) echo "usage: setup.sh [native|wine|all]" >&2; exit 2 ;; esac

native=(
  cmake g++ make pkg-config dpkg-dev python3 curl
  # builds the main job (scripts/run.sh)
  ninja-build
  # the compile cache every clone of the machine shares (scripts/prologue.sh)
  ccache
  libcjson-dev libcups2-dev libcairo2-dev libgdk-pixbuf-2.0-dev
  # zlib: the label image check inflates PNG data (natively and in the .exe)
  zlib1g-dev
  # the Linux printerwatch, configured in the same tree: udev discovery,
  # systemd notices
  libudev-dev libsystemd-dev
  # the private scheduler and its label queue
  cups cups-client cups-bsd
)
wine=(
  g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64
  # Reserves the addresses Wine must have before the host's libraries and
  # heap take any: without it a process now and then can't map the shared
  # user data at 0x7ffe0000 and exits 1 at its start (Debian only suggests it)
  wine64-preloader
  # the tray icon is drawn at build time; wixl builds the MSI, msibuild
  # (msitools) finishes it
  imagemagick wixl msitools
  # The bench's own Wine modules, built from Debian's wine source
  flex bison autoconf autotools-dev unicode-data icoutils librsvg2-bin
  # ntdll.so links libunwind, as Debian's does
  libunwind-dev
)
tests=(
  libgtest-dev googletest cups-filters
  # the base64 benchmark's anchor
  libssl-dev
  xvfb x11-utils xdotool ghostscript
  chromium clang libclang-rt-14-dev llvm wrk strace fonts-wqy-microhei
  # lintian checks the Debian package of the native printgate.
  lintian
  # The JavaScript client: its tests run under Node's test runner, and the
  # browser suite loads its page in Firefox ESR beside Chromium.
  nodejs firefox-esr
  # The GetPrinters benchmark's anchor: the bench starts nginx on loopback
  # with its own configuration and stops it by PID (the package's own
  # service is never used).
  nginx
  # the Linux printerwatch's tests: virtual udev devices with scripted
  # reads, driven from Python
  umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi
)
packages=("${native[@]}")
[ "$part" = native ] || packages+=("${wine[@]}")
if [ "$part" = all ]; then
  packages+=("${tests[@]}")
  # Debian's npm packs the client; a Node.js that ships its own npm already
  # provides (and conflicts with) the package.
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

sources=/etc/apt/sources.list.d/debian.sources
if [ -f "$sources" ] && ! grep -q '^Types: deb-src' "$sources"; then
  # Same mirrors as the binary stanzas, for `apt-get source`.
  sed -n '/^Types: deb$/,/^$/p' "$sources" | sed 's/^Types: deb$/Types: deb-src/' > /etc/apt/sources.list.d/debian-src.sources
fi

# Several checkouts on one machine may run this at once; apt and dpkg allow
# one user at a time, so take turns instead of failing on their locks.
exec 9>/var/lock/printgate-setup.lock
flock 9

# One query for all: a second start of the main job must stay quick.
# dpkg-query fails when any of them was never installed: that is the news.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null | awk '/install ok installed/ {print $1}' || true)
missing=()
for p in "${packages[@]}"; do
  grep -qx "$p" <<<"$installed" || missing+=("$p")
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
bash "$root/scripts/fetch_httplib.sh" "$tp"
if [ "$part" != native ]; then
  if ! compgen -G "$tp/cjson-*/cJSON.c" >/dev/null; then
    (cd "$tp" && apt-get source --download-only -q cjson && for d in cjson_*.dsc; do dpkg-source -x --no-check "$d"; done)
  fi
  ln -sfn "$(ls -d "$tp"/cjson-*/ | head -n1)" "$tp/cjson"
fi
exec 9>&-
# The bench's Wine is a stage of its own (tests/bench-win/wine/build_wine.sh):
# the test command times it apart, and run.sh --wine calls it after this.
echo "setup ($part): done"
