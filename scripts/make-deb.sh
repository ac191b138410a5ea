#!/usr/bin/env bash
# Makes the Debian package from a finished build, without building again:
# the build installed with the prefix /usr into a staging tree, stripped;
# the documentation Debian wants, compressed; the maintainer scripts; the
# library dependencies computed by dpkg-shlibdeps; then lintian's verdict,
# where lintian is installed (make deb installs it).
# Usage: scripts/make-deb.sh BUILD_DIR DEB_FILE PROJECT_VERSION
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
deb=$2
project_version=$3
package=serial-tcp-bridge

# dpkg's tools look for debian/ in the working directory.
work=$build/deb
root=$work/debian/$package
rm -rf "$work"
mkdir -p "$work/debian"
cd "$work"
cp "$source_dir"/packaging/debian/{control,changelog} debian/

version=$(dpkg-parsechangelog -S Version)
if [[ ${version%-*} != "$project_version" ]]; then
  echo "packaging/debian/changelog is at $version, but the project at $project_version: add an entry" >&2
  exit 1
fi

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
# As dh_strip does: no symbols, no compiler notes.
strip --remove-section=.comment --remove-section=.note "$root"/usr/bin/*

doc=$root/usr/share/doc/$package
install -d "$doc"
install -m 0644 "$source_dir/packaging/debian/copyright" "$doc/"
gzip -9n -c debian/changelog >"$doc/changelog.Debian.gz"
find "$root/usr/share/man" -type f -exec gzip -9n {} +

install -d "$root/DEBIAN"
for script in postinst prerm postrm; do
  install -m 0755 "$source_dir/packaging/debian/$script" "$root/DEBIAN/"
done
# Whatever the umask of whoever builds.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f ! -path "$root/DEBIAN/*" ! -path "$root/usr/bin/*" -exec chmod 0644 {} +
(cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
  >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"

dpkg-shlibdeps -Tdebian/substvars "$root"/usr/bin/*
dpkg-gencontrol -p$package -Tdebian/substvars -fdebian/files -P"$root"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb"

if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb"
else
  echo "lintian is not installed: the package is not checked" >&2
fi
