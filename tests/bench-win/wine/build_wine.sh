#!/usr/bin/env bash
# Builds the bench's own Wine: Debian's source of the installed Wine release
# with the patches beside this script, only the modules and conformance tests
# they touch, laid out as a private Wine tree (build/wine/tree) that the
# bench runs every program on. The system's Wine is never changed.
#
# Cached outside the clone, one folder per key (the installed Wine's version,
# the patches and this script), so that every clone on the machine shares a
# build and any change to one of them builds anew; build/wine links to it.
# A failure ends with one line naming the step (the log holds the rest); the
# bench never falls back to stock Wine.
source "$(dirname "$0")/../../../scripts/prologue.sh"
here=$(cd "$(dirname "$0")" && pwd)
link=${PG_WINE_DIR:-$root/build/wine}
cache=${PG_WINE_CACHE:-/var/cache/printgate/bench-wine}

# What we rebuild, and the conformance tests that come with the patches.
# The unix halves (*.so): ntdll.so, built with the same features as
# Debian's, and localspl.so, which follows jobs in CUPS. ntdll's PE half
# starts every thread.
modules=(
  dlls/ntdll/ntdll.so
  dlls/ntdll/x86_64-windows/ntdll.dll
  dlls/localspl/localspl.so
  dlls/sechost/x86_64-windows/sechost.dll
  dlls/user32/x86_64-windows/user32.dll
  dlls/localspl/x86_64-windows/localspl.dll
  dlls/winspool.drv/x86_64-windows/winspool.drv
  dlls/wineps.drv/x86_64-windows/wineps.drv
  programs/services/x86_64-windows/services.exe
)
# The loader: it sets how the unix side's allocator gives memory back.
loader=loader/wine64
tests=(
  dlls/kernelbase/tests/x86_64-windows/kernelbase_test.exe
  programs/services/tests/x86_64-windows/services.exe_test.exe
  dlls/winspool.drv/tests/x86_64-windows/winspool.drv_test.exe
)
# None of these reach ntdll.so; libunwind does (Debian's links it), and
# CUPS reaches localspl.so, so both stay.
without=(alsa capi coreaudio dbus fontconfig freetype gettext gphoto
  gnutls gssapi gstreamer inotify krb5 netapi opencl opengl osmesa oss pcap
  pulse sane sdl udev usb v4l2 vulkan xcomposite xcursor xfixes
  xinerama xinput xinput2 xrandr xrender xshape xshm xxf86vm)

fail() { echo "bench wine: $1 failed (see $log)" >&2; exit 1; }
step() { # name, command...
  local name=$1; shift
  echo "== $name" >>"$log"
  "$@" >>"$log" 2>&1 </dev/null || fail "$name"
}

version=$(dpkg-query -W -f='${Version}' libwine 2>/dev/null) || { echo "bench wine: the installed Wine (libwine) not found" >&2; exit 1; }
key=$( (echo "$version"; cat "$here"/*.patch "$0") | sha256sum | cut -c1-16)
final=$cache/$key
uselink() { mkdir -p "$(dirname "$link")"; rm -rf "$link"; ln -sfn "$final" "$link"; }
ready() { [ -f "$final/stamp" ] && [ "$(cat "$final/stamp")" = "$key" ] && [ -x "$final/tree/lib/wine/wine64" ]; }
mkdir -p "$cache"
# Two clones that need the same key take turns: the second finds it built.
exec 8>"$cache/$key.lock"
flock 8
if ready; then uselink; exit 0; fi

# Built in a scratch folder and renamed into place, so that a build cut short
# is never taken for a finished one.
out=$cache/$key.building
tree=$out/tree
log=$out/build.log
rm -rf "$out" "$final"
mkdir -p "$out/dl"
: >"$log"
echo "bench wine: building Wine $version with $(ls "$here"/*.patch | wc -l) patches: a few minutes of both cores, once"

# The same release as the installed Wine, so that the system's unix halves
# (localspl.so, winspool.so, ntdll.so ...) match the rebuilt PE halves.
step "fetching the wine source" bash -c "cd '$out/dl' && apt-get source --download-only -q 'wine=$version'"
step "unpacking the wine source" bash -c "cd '$out/dl' && dpkg-source -x --no-check wine_*.dsc '$out/src'"
src=$out/src
for p in "$here"/*.patch; do
  step "applying $(basename "$p")" patch -d "$src" -p1 --forward --batch -i "$p"
done

cd "$src"
# What Debian's repack strips and its rules regenerate.
step "generating the server protocol" bash -c '
  ./debian/scripts/generate server/trace.generated make_requests &&
  ./debian/scripts/generate server/request.generated make_requests &&
  ./tools/make_requests'
step "linking the autotools helpers" bash -c '
  ln -sf /usr/share/misc/config.sub tools && ln -sf /usr/share/misc/config.guess tools'
step "linking the icons' sources" bash -c "grep -E '^\s+ln -sf \.\./\.\./' debian/rules | sed 's/^\s*//' | sh -e"
# wineps.drv's vertical.c only; the full make_unicode takes minutes.
step "generating wineps.drv's tables" bash -c '
  sed "/^load_data();\$/,\$d" tools/make_unicode > tools/make_vertical &&
  echo "dump_vertical( \"dlls/wineps.drv/vertical.c\", 0 );" >> tools/make_vertical &&
  perl tools/make_vertical'
step "running autoconf" bash -c 'autoconf && autoheader'
# user32's resources name icons the repack keeps only as their drawings.
step "drawing user32's icons" bash -c '
  for f in $(grep -o "resources/[a-z_0-9]*\.ico" dlls/user32/user32.rc | sort -u); do
    [ -e "dlls/user32/$f" ] || perl tools/buildimage "dlls/user32/${f%.ico}.svg" "dlls/user32/$f" || exit 1
  done'

# Files of modules we don't build that makedep still wants to see.
for f in $(sed -n '/^load_data();$/,$p' tools/make_unicode | grep -o '"dlls/[^"]*\|"nls/[^"]*' | tr -d '"'); do
  case $f in dlls/dwrite/scripts) touch -a "$f.c" "$f.h" ;; *) [ -e "$f" ] || touch "$f" ;; esac
done
for f in $(grep -o '[a-z0-9_]*\.nls' nls/Makefile.in | sort -u); do [ -e "nls/$f" ] || touch "nls/$f"; done
mkdir -p include/wine
touch -a include/wine/vulkan.h include/wine/vulkan_driver.h include/wine/wgl.h include/wine/wgl_driver.h
touch -a dlls/opengl32/thunks.c dlls/opengl32/unix_thunks.c dlls/winevulkan/loader_thunks.c dlls/winevulkan/vulkan_thunks.c

# Debian's folders: ntdll.so finds the loader and the data (nls ...) from
# its own folder through paths relative to them.
step "configuring wine" nice -n 10 ./configure --enable-win64 --without-x \
  --prefix=/usr --bindir=/usr/lib/wine --libdir=/usr/lib/x86_64-linux-gnu/wine --datarootdir=/usr/share/wine \
  "${without[@]/#/--without-}" ZLIB_PE_LIBS=z
# Without CUPS's headers localspl.so would build, and never reach CUPS.
step "finding CUPS for localspl" grep -q '^#define SONAME_LIBCUPS' include/config.h
step "building ${#modules[@]} modules, the loader and the tests" nice -n 10 make -j"$jobs" "${modules[@]}" "$loader" "${tests[@]}"
# Our ntdll.so stands in for the system's: a -dev package missing at
# configure would drop a feature (libunwind ...) without a word, so it must
# need the same libraries as Debian's.
needs() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort; }
same_needs() { diff <(needs /usr/lib/x86_64-linux-gnu/wine/x86_64-unix/ntdll.so) <(needs dlls/ntdll/ntdll.so); }
step "checking that ntdll.so needs what Debian's needs" same_needs
# A loader that looked for ntdll.so anywhere else would fall back to the
# system's, and with it to the system's modules, without a word.
ntdll_path() { strings "$1" | grep -x '.*/x86_64-unix/ntdll.so'; }
same_ntdll_path() { [ -n "$(ntdll_path "$loader")" ] && [ "$(ntdll_path /usr/lib/wine/wine64)" = "$(ntdll_path "$loader")" ]; }
step "checking that the loader finds ntdll.so where Debian's does" same_ntdll_path

# The private tree: Wine takes its binary folder from the loader's real path
# and its DLL folder from ntdll.so's, so those two are files of the tree (the
# loader and ntdll.so our builds); everything else links to the
# system's, except the modules we rebuilt.
sysdll=/usr/lib/x86_64-linux-gnu/wine
layout() {
  mkdir -p "$tree/lib/wine" "$tree/lib/x86_64-linux-gnu/wine/x86_64-unix" \
           "$tree/lib/x86_64-linux-gnu/wine/x86_64-windows" "$tree/share" "$out/tests"
  cp "$src/$loader" "$tree/lib/wine/wine64"
  ln -s /usr/lib/wine/wineserver64 "$tree/lib/wine/wineserver"
  # ntdll.so starts each process through the preloader beside the loader;
  # without one the process starts bare, and the host's heap, placed at
  # random up to 1 GiB past the loader, can hold the shared user data's
  # address (0x7ffe0000): the process then exits 1 at its start. A copy, as
  # the loader: the running binary is then the preloader, and a link would
  # send every process it starts to the system's Wine.
  cp /usr/lib/wine/wine64-preloader.static "$tree/lib/wine/wine64-preloader"
  ln -s /usr/share/wine "$tree/share/wine"
  ln -s "$sysdll/i386-windows" "$tree/lib/x86_64-linux-gnu/wine/i386-windows"
  local f
  for f in "$sysdll"/x86_64-unix/*; do ln -s "$f" "$tree/lib/x86_64-linux-gnu/wine/x86_64-unix/"; done
  for f in "$sysdll"/x86_64-windows/*; do ln -s "$f" "$tree/lib/x86_64-linux-gnu/wine/x86_64-windows/"; done
  local half
  for f in "${modules[@]}"; do
    case $f in *.so) half=x86_64-unix ;; *) half=x86_64-windows ;; esac
    rm -f "$tree/lib/x86_64-linux-gnu/wine/$half/$(basename "$f")"
    cp "$src/$f" "$tree/lib/x86_64-linux-gnu/wine/$half/"
  done
  for f in "${tests[@]}"; do cp "$src/$f" "$out/tests/"; done
}
step "checking for Debian's preloader" test -x /usr/lib/wine/wine64-preloader.static
step "laying out the private Wine tree" layout
echo "$key" >"$out/stamp"
# The source and its objects are a gigabyte the bench never reads again.
rm -rf "$out/src" "$out/dl"
mv "$out" "$final"
uselink
echo "bench wine: ready in $final/tree"
