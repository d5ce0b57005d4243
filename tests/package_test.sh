#!/usr/bin/env bash
# The Debian package, end to end: scripts/package.sh builds it from this
# build tree (and fails on a lintian tag the overrides do not explain);
# then its contents, dependencies and conffiles are checked, it is
# installed into a scratch root with dpkg --root (maintainer scripts run
# against that root, never against this system's systemd), the guide's
# first commands work there against the installed paths without
# LD_LIBRARY_PATH (brixd only logging, on a private tmpfs, for a few
# seconds), a reinstall keeps the settings, and a removal keeps the state
# that a purge removes.
#   tests/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)

tmp=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

deb=$("$src/scripts/package.sh" --no-build --build-dir "$build" --out "$tmp/dist")
[ -f "$deb" ] || fail "package.sh did not name a package ($deb)"
[ ! -s "$deb.lintian" ] || fail "lintian: $(cat "$deb.lintian")"

# Contents: every part in its place, and nothing enabled by the package.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for path in usr/bin/brixctl usr/sbin/brixd usr/lib/brix/brix.so usr/include/brix.h \
            "usr/lib/$multiarch/pkgconfig/brix.pc" usr/lib/systemd/system/brixd.service \
            etc/default/brixd usr/share/man/man1/brixctl.1.gz usr/share/man/man8/brixd.8.gz \
            usr/share/doc/brix/copyright usr/share/doc/brix/changelog.gz \
            usr/share/doc/brix/brixd.md usr/share/doc/brix/journal.md \
            usr/share/doc/brix/examples/empty-agent-manifest.json; do
  grep -qx "\./$path" <<<"$contents" || fail "the package lacks /$path"
done
if grep -E '^\./(etc/systemd|var/)' <<<"$contents"; then
  fail "the package enables the unit or ships state"
fi
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/default/brixd ] ||
  fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"

# Dependencies come from the binaries: the libraries they load, no
# development packages, and nothing for brix.so, which the package holds.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libsqlite3-0 libcjson1 libssl3 libstdc++6; do
  [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
    fail "Depends lacks $lib: $depends"
done
if grep -Eq -- '-dev\b|brix' <<<"$depends"; then fail "Depends: $depends"; fi

# Install into a scratch root.
root="$tmp/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() {
  dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
    --log=/dev/null "$@" >"$tmp/dpkg.out" 2>&1 || { cat "$tmp/dpkg.out" >&2; fail "dpkg $*"; }
}
dpkg_root --install "$deb"
[ -d "$root/var/lib/brix" ] || fail "the state folder /var/lib/brix was not created"
[ "$(stat -c %a "$root/var/log/brix" 2>/dev/null)" = 750 ] ||
  fail "the log folder /var/log/brix was not created with mode 0750"
if find "$root/etc/systemd" -name 'brixd.service' -path '*.wants/*' 2>/dev/null | grep -q .; then
  fail "installing enabled brixd.service"
fi
grep -q '^ExecStart=/usr/sbin/brixd ' "$root/usr/lib/systemd/system/brixd.service" ||
  fail "the unit does not start /usr/sbin/brixd"
options=$(grep '^BRIXD_OPTIONS=' "$root/etc/default/brixd") || fail "no BRIXD_OPTIONS"
if grep -q -- --lockdown <<<"$options"; then fail "first start would enforce: $options"; fi
grep -q -- "--journal /var/log/brix/" <<<"$options" ||
  fail "the first start keeps no journal in brixd's log folder: $options"
grep -q -- "--require-manifest" <<<"$options" ||
  fail "adding --lockdown would start a lockdown that only logs: $options"

# The installed tools find the installed engine by themselves.
brixctl=(env -u LD_LIBRARY_PATH "$root/usr/bin/brixctl" --db "$root/var/lib/brix/ac.db")
for tool in usr/bin/brixctl usr/sbin/brixd; do
  engine=$(env -u LD_LIBRARY_PATH ldd "$root/$tool" | awk '$1 == "brix.so" {print $3}')
  [ "$(realpath -q "$engine")" = "$root/usr/lib/brix/brix.so" ] ||
    fail "/$tool loads brix.so from '$engine', not from /usr/lib/brix"
done
env -u LD_LIBRARY_PATH "$root/usr/sbin/brixd" --help >"$tmp/brixd.help" || fail "brixd --help"

# The guide's first commands, on the installed paths: an inventory and the
# shipped manifest make the database, then brixd starts as the package's
# options have it, its journal in the log folder the package made.  It
# watches a tmpfs of its own only and only logs, for three seconds.
cd "$tmp"
"${brixctl[@]}" metrics >/dev/null 2>&1 && fail "brixctl metrics made a database"
[ ! -e "$root/var/lib/brix/ac.db" ] || fail "brixctl metrics made a database"
"${brixctl[@]}" scan "$root/usr/sbin" >/dev/null || fail "brixctl scan"
"${brixctl[@]}" import agent-manifest "$root/usr/share/doc/brix/examples/empty-agent-manifest.json" \
  >/dev/null || fail "brixctl import"
mkdir "$tmp/mnt"
# shellcheck disable=SC2016
unshare --mount --propagation private sh -c '
  mount -t tmpfs -o size=16m brix-package-test "$1" || exit 3
  exec timeout --preserve-status -s TERM 3 env -u LD_LIBRARY_PATH "$2/usr/sbin/brixd" \
    --db "$2/var/lib/brix/ac.db" --watch "$1" --journal "$2/var/log/brix/journal.jsonl" \
    --require-manifest' sh "$tmp/mnt" "$root" >"$tmp/brixd.out" 2>&1 ||
  fail "brixd did not run as the guide says: $(cat "$tmp/brixd.out")"
grep -q 'ready: .*lockdown off' "$tmp/brixd.out" || fail "brixd was not ready: $(cat "$tmp/brixd.out")"
if grep -q ERROR "$tmp/brixd.out"; then fail "brixd logged errors: $(cat "$tmp/brixd.out")"; fi
[ -f "$root/var/log/brix/journal.jsonl" ] || fail "brixd kept no journal in /var/log/brix"
"${brixctl[@]}" --lockdown decide "$root/usr/sbin/brixd" >/dev/null || fail "a scanned program was not allowed"
status=0
"${brixctl[@]}" --lockdown decide "$root/usr/bin/brixctl" >/dev/null || status=$?
[ "$status" = 1 ] || fail "an unscanned program was not blocked under lockdown (status $status)"

# The man pages are the help texts: every option brixd lists is there.
zcat "$root/usr/share/man/man8/brixd.8.gz" >"$tmp/brixd.8"
grep -oE '^  --[a-z-]+' "$tmp/brixd.help" | while read -r option; do
  grep -qF -- "${option//-/\\-}" "$tmp/brixd.8" || fail "brixd(8) lacks $option"
done

# A host agent builds against the installed header and engine by pkg-config.
flags=$(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/usr/lib/$multiarch/pkgconfig" \
          pkg-config --cflags --libs brix)
printf '#include <brix.h>\nint main(void) { return (int)engine_stop(); }\n' >host.c
# shellcheck disable=SC2086
cc host.c $flags -o host || fail "a host does not build with: $flags"

# Installing again (as an upgrade does) keeps the administrator's settings.
echo 'BRIXD_OPTIONS="--watch / --lockdown"' >>"$root/etc/default/brixd"
dpkg_root --install "$deb"
grep -q -- --lockdown "$root/etc/default/brixd" || fail "reinstalling replaced /etc/default/brixd"

# Removal keeps the database and the settings; a purge removes them.
dpkg_root --remove brix
[ ! -e "$root/usr/bin/brixctl" ] || fail "removal left brixctl"
[ -f "$root/var/lib/brix/ac.db" ] || fail "removal deleted the rule database"
[ -f "$root/etc/default/brixd" ] || fail "removal deleted /etc/default/brixd"
dpkg_root --purge brix
[ ! -e "$root/var/lib/brix" ] || fail "purge left /var/lib/brix"
[ ! -e "$root/var/log/brix" ] || fail "purge left /var/log/brix"
[ ! -e "$root/etc/default/brixd" ] || fail "purge left /etc/default/brixd"
echo "package_test: $(basename "$deb") built, installed, used and purged"
