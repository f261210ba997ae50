#!/usr/bin/env bash
# Builds the Debian package of the native printgate: the program, a systemd
# user unit enabled for every user, dependencies from dpkg-shlibdeps.
#   build_deb.sh OUTPUT_DIR VERSION PRINTGATE_BINARY
# Prints the path of the .deb it wrote.
source "$(dirname "$0")/../../scripts/prologue.sh"
outdir=$(realpath -m "$1") version=$2 binary=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg="$work/pkg"
doc="$pkg/usr/share/doc/printgate"
units="$pkg/usr/lib/systemd/user"

install -d -m 0755 "$pkg/DEBIAN" "$pkg/usr/bin" "$doc" "$units/default.target.wants" "$pkg/usr/share/man/man1"
install -m 0755 "$binary" "$pkg/usr/bin/printgate"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$pkg/usr/bin/printgate"
install -m 0644 "$here/printgate.service" "$units/printgate.service"
# Shipped enabled rather than enabled by a maintainer script: removing the
# package then leaves no link behind in /etc.
ln -s ../printgate.service "$units/default.target.wants/printgate.service"
install -m 0644 "$here/copyright" "$doc/copyright"
gzip -9n < "$here/printgate.1" > "$pkg/usr/share/man/man1/printgate.1.gz"
chmod 0644 "$pkg/usr/share/man/man1/printgate.1.gz"
install -m 0644 "$root/README.md" "$doc/README.md"
printf 'printgate (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- VELQ <support@velq.invalid>  %s\n' \
  "$version" "$version" "$(date -R -d @"${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}")" |
  gzip -9n > "$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"

# dpkg-shlibdeps reads the package list of a debian/control beside it.
mkdir -p "$work/debian"
printf 'Source: printgate\n\nPackage: printgate\nArchitecture: any\n' > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$pkg/usr/bin/printgate" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$here/control.in" > "$pkg/DEBIAN/control"
(cd "$pkg" && find usr -type f -exec md5sum {} + | sort -k2) > "$pkg/DEBIAN/md5sums"
chmod 0644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"

mkdir -p "$outdir"
deb="$outdir/printgate_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "$deb"
