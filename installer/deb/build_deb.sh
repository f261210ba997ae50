#!/usr/bin/env bash
# Builds the Debian package of what ships on Linux, as the build's install
# rules place it: the native printgate with a systemd user unit enabled for
# every user, and printerwatch with its systemd unit, udev rule and sample
# settings (a conffile), and printgate-browser-policies, which the maintainer
# scripts run to write the browsers' policies for the site list;
# dependencies from dpkg-shlibdeps.
#   build_deb.sh OUTPUT_DIR VERSION NATIVE_BUILD_DIR
# Prints the path of the .deb it wrote.
source "$(dirname "$0")/../../scripts/prologue.sh"
outdir=$(realpath -m "$1") version=$2 build=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg="$work/pkg"
doc="$pkg/usr/share/doc/printgate"
units="$pkg/usr/lib/systemd/user"

# printerwatch's rules are the default install; printgate's are a component
# of their own, so that `cmake --install` on a desk leaves printgate to this
# package.
DESTDIR="$pkg" cmake --install "$build" --prefix /usr >/dev/null
DESTDIR="$pkg" cmake --install "$build" --prefix /usr --component printgate >/dev/null
for program in "$pkg/usr/bin/printgate" "$pkg/usr/sbin/printerwatch" "$pkg/usr/sbin/printgate-browser-policies"; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$program"
done
# Shipped enabled rather than enabled by a maintainer script: removing the
# package then leaves no link behind in /etc.
install -d -m 0755 "$pkg/DEBIAN" "$doc" "$units/default.target.wants" "$pkg/usr/share/man/man1" \
  "$pkg/usr/share/man/man8" "$pkg/var/lib/printerwatch"
ln -s ../printgate.service "$units/default.target.wants/printgate.service"
install -m 0644 "$here/copyright" "$doc/copyright"
gzip -9n < "$here/printgate.1" > "$pkg/usr/share/man/man1/printgate.1.gz"
gzip -9n < "$here/printerwatch.8" > "$pkg/usr/share/man/man8/printerwatch.8.gz"
gzip -9n < "$here/printgate-browser-policies.8" > "$pkg/usr/share/man/man8/printgate-browser-policies.8.gz"
install -m 0644 "$root/README.md" "$doc/README.md"
printf 'printgate (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- VELQ <support@velq.invalid>  %s\n' \
  "$version" "$version" "$(date -R -d @"${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}")" |
  gzip -9n > "$doc/changelog.gz"
find "$pkg" -path "$pkg/DEBIAN" -prune -o -type d -exec chmod 0755 {} + -o -type f -exec chmod go-w {} +
chmod 0644 "$doc/changelog.gz" "$pkg"/usr/share/man/man*/*.gz

# dpkg-shlibdeps reads the package list of a debian/control beside it.
mkdir -p "$work/debian"
printf 'Source: printgate\n\nPackage: printgate\nArchitecture: any\n' > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$pkg/usr/bin/printgate" "$pkg/usr/sbin/printerwatch" \
  "$pkg/usr/sbin/printgate-browser-policies" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$here/control.in" > "$pkg/DEBIAN/control"
# Every file under /etc is the administrator's to edit: dpkg keeps their
# changes on upgrade and removes the files only on purge.
(cd "$pkg" && find etc -type f | sed 's|^|/|' | sort) > "$pkg/DEBIAN/conffiles"
(cd "$pkg" && find usr -type f -exec md5sum {} + | sort -k2) > "$pkg/DEBIAN/md5sums"
install -m 0755 "$here/postinst" "$here/prerm" "$here/postrm" "$pkg/DEBIAN/"
chmod 0644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums" "$pkg/DEBIAN/conffiles"

mkdir -p "$outdir"
deb="$outdir/printgate_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "$deb"
