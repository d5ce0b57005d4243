#!/usr/bin/env bash
# Builds the Debian package of brix: dist/brix_VERSION_ARCH.deb.
#
#   scripts/package.sh [--build-dir DIR] [--out DIR] [--no-build]
#
# It builds first (scripts/build.sh, or DIR's build), unless --no-build
# says to package what DIR already holds; installs it with
# `cmake --install --prefix /usr`, strips it, adds the Debian parts from
# packaging/debian/, computes the runtime dependencies from the binaries
# (dpkg-shlibdeps), builds the package with dpkg-deb and checks it with
# lintian, whose report lands beside the package (.lintian).  Exits
# non-zero if any step fails or lintian reports a tag that
# packaging/debian/lintian-overrides does not explain.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

build="$src/build"
out="$src/dist"
compile=1
while [ $# -gt 0 ]; do
  case ${1}_$# in
    --build-dir_[2-9]*) build=$(realpath -m "$2"); shift 2 ;;
    --out_[2-9]*) out=$(realpath -m "$2"); shift 2 ;;
    --no-build_*) compile=0; shift ;;
    *) echo "usage: scripts/package.sh [--build-dir DIR] [--out DIR] [--no-build]" >&2; exit 2 ;;
  esac
done
cd "$src"

if [ "$compile" = 1 ]; then
  if [ "$build" = "$src/build" ]; then
    ./scripts/build.sh >/dev/null
  else
    cmake --build "$build" -j"$(nproc)" >/dev/null
  fi
fi
for made in brixctl brixd brix.so man/brixctl.1.gz man/brixd.8.gz; do
  if [ ! -f "$build/$made" ]; then
    echo "package.sh: $build/$made is missing: build brix first (scripts/build.sh)" >&2
    exit 2
  fi
done

if grep -Eq '^BRIX_(SANITIZE:STRING=.+|BUILD_FUZZ:BOOL=ON)' "$build/CMakeCache.txt"; then
  echo "package.sh: $build is a sanitizer or fuzzing build, not one to ship" >&2
  exit 2
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
maintainer="brix developers <dev@brix.invalid>"
deb="$out/brix_${version}_${arch}.deb"

umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dpkg-shlibdeps recognises a package's own files by this layout.
root="$work/debian/brix"
mkdir -p "$root/DEBIAN"

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
engine=$(cd "$root" && find usr/lib -name brix.so)
binaries=(usr/bin/brixctl usr/sbin/brixd "$engine")
# Stripped as Debian's own packages are: no symbols, no compiler notes.
(cd "$root" &&
  strip --remove-section=.comment --remove-section=.note usr/bin/brixctl usr/sbin/brixd &&
  strip --remove-section=.comment --remove-section=.note --strip-unneeded "$engine")
# brix.pc names the machine's own engine: it belongs where pkg-config looks
# for this architecture, which also serves cross-builds.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
if [ -d "$root/usr/lib/pkgconfig" ]; then
  mkdir -p "$root/usr/lib/$multiarch"
  mv "$root/usr/lib/pkgconfig" "$root/usr/lib/$multiarch/pkgconfig"
fi

doc="$root/usr/share/doc/brix"
install -m 0644 packaging/debian/copyright "$doc/copyright"
install -D -m 0644 packaging/debian/lintian-overrides "$root/usr/share/lintian/overrides/brix"
# The changelog names the version being packaged; its date is the commit's,
# so that a package built twice from one commit is the same.
when=$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)
{
  printf 'brix (%s) unstable; urgency=medium\n\n' "$version"
  printf '  * brix %s, built from commit %s.\n\n' "$version" \
    "$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  printf ' -- %s  %s\n' "$maintainer" "$(date -u -R -d "@$when")"
} | gzip -9n >"$doc/changelog.gz"

# Runtime dependencies from the binaries.  brix.so is the package's own
# and has no version in its name, which dpkg-shlibdeps mentions.
printf 'Source: brix\n\nPackage: brix\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" &&
  dpkg-shlibdeps -O "${binaries[@]/#/debian/brix/}" 2>shlibdeps.err |
  sed -n 's/^shlibs:Depends=//p')
if grep -v "can't extract name and version from library name 'brix.so'" \
     "$work/shlibdeps.err" >&2 || [ -z "$depends" ]; then
  echo "package.sh: dpkg-shlibdeps could not work out the dependencies" >&2
  exit 1
fi

(cd "$root" && find etc -type f -printf '/%p\n' | sort) >"$root/DEBIAN/conffiles"
install -m 0755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm "$root/DEBIAN/"
(cd "$root" && find . -path ./DEBIAN -prune -o -path ./etc -prune -o -type f -printf '%P\0' |
  LC_ALL=C sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"

cat >"$root/DEBIAN/control" <<CONTROL
Package: brix
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Section: admin
Priority: optional
Description: application control for program starts on Linux
 brix decides whether a program may start, a file may be mapped
 executable or a script may be run, by an inventory of the machine's
 executables and by rulesets, and recognises new or changed software.
 .
 The package holds brixd, a daemon that answers the kernel's fanotify
 checks of program starts with the engine's verdicts, brixctl, which
 uses the engine from a shell, and the engine brix.so with its C header
 for host agents.  brixd.service is installed but not enabled; as
 shipped, /etc/default/brixd watches the root mount in log-only mode.
CONTROL

mkdir -p "$out"
SOURCE_DATE_EPOCH=$when dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"

# lintian: every tag it reports must be one the overrides explain.  The
# report is left beside the package.
report="$deb.lintian"
status=0
lintian --fail-on error,warning --display-level '>=info' "$deb" >"$work/lintian" 2>&1 || status=$?
grep -v '^running with root privileges' "$work/lintian" >"$report" || true
# An override whose tag no longer occurs is worth a note, not a failure.
if grep -q ' unused-override ' "$report"; then
  echo "package.sh: packaging/debian/lintian-overrides has overrides to drop:" >&2
  grep ' unused-override ' "$report" >&2
  sed -i '/ unused-override \|^N: .* unused override/d' "$report"
fi
if [ "$status" -ne 0 ] || grep -Eq '^[EWI]: ' "$report"; then
  cat "$report" >&2
  echo "package.sh: lintian reports the tags above (status $status)" >&2
  exit 1
fi
