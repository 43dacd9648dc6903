#!/usr/bin/env bash
# Builds the Debian packages from a build tree configured for them, installs
# them with dpkg, checks that the key files are where the packages promise
# and that the installed unit keeps its sandbox (systemd-analyze security
# rates it no worse than TQ_MAX_EXPOSURE), then purges them again. Runs as
# root; systemd need not run.
#
#   packaging/check-deb.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: packaging/check-deb.sh BUILD_DIR}
max_exposure=${TQ_MAX_EXPOSURE:-3.0}
cd "$build"

rm -f ./*.deb
cpack -G DEB
main=$(ls tessarc_*.deb)
dev=$(ls tessarc-dev_*.deb)

fail() { echo "check-deb: $*" >&2; exit 1; }

# The control data: conffiles, the maintainer scripts and the ldconfig
# trigger that makes the libraries known to the loader.
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$main" "$control"
for f in conffiles postinst prerm postrm triggers shlibs; do
    [ -e "$control/$f" ] || fail "$main has no $f"
done
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "$main: no ldconfig trigger"
for f in Communication.cfg Logging.cfg relay.cfg metrics.cfg; do
    grep -qx "/etc/tessarc/$f" "$control/conffiles" || fail "$main: /etc/tessarc/$f is no conffile"
done

dpkg -i "$main" "$dev"
trap 'rm -rf "$control"; dpkg --purge tessarc-dev tessarc >/dev/null || true' EXIT

libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
expect_main=(
    /usr/bin/tessarc-server
    /usr/bin/tessarc-cli
    "$libdir/libtessarc.so.0"
    "$libdir/libtessarc-client.so.0"
    /usr/lib/tessarc/Protocols/tcp.protocol
    /usr/lib/tessarc/Services/relay.service
    /usr/lib/tessarc/Services/metrics.service
    # Every shipped module is listed here too (tq_install_module in
    # modules/CMakeLists.txt), as is its settings file below.
    /usr/lib/systemd/system/tessarc-server.service
    /etc/tessarc/Communication.cfg
    /etc/tessarc/Logging.cfg
    /etc/tessarc/relay.cfg
    /etc/tessarc/metrics.cfg
    /var/lib/tessarc/Config
    /var/lib/tessarc/Protocols
    /var/lib/tessarc/Services
    /usr/share/man/man8/tessarc-server.8
    /usr/share/man/man1/tessarc-cli.1
)
expect_dev=(
    /usr/include/tessarc/runtime.h
    /usr/include/tessarc/server.h
    /usr/include/tessarc/metrics.h
    /usr/include/tessarc/module.h
    /usr/include/tessarc/client.h
    "$libdir/libtessarc.so"
    "$libdir/libtessarc-client.so"
    "$libdir/cmake/Tessarc/TessarcConfig.cmake"
    "$libdir/cmake/Tessarc/TessarcModule.cmake"
    "$libdir/pkgconfig/tessarc.pc"
)
listed_main=$(dpkg -L tessarc)
listed_dev=$(dpkg -L tessarc-dev)
for f in "${expect_main[@]}"; do
    grep -qx "$f" <<<"$listed_main" || fail "tessarc does not list $f"
    [ -e "$f" ] || fail "$f listed but missing"
done
for f in "${expect_dev[@]}"; do
    grep -qx "$f" <<<"$listed_dev" || fail "tessarc-dev does not list $f"
done
# The runtime package carries no development files, the -dev package no
# versioned library.
if grep -E '^/usr/include/|\.so$|/cmake/|/pkgconfig/' <<<"$listed_main"; then
    fail "development files in tessarc"
fi
if grep -E '\.so\.[0-9]' <<<"$listed_dev"; then
    fail "versioned library in tessarc-dev"
fi

# The install root resolves to the configuration and the modules.
[ "$(readlink -f /var/lib/tessarc/Config)" = /etc/tessarc ] || fail "/var/lib/tessarc/Config"
[ -e /var/lib/tessarc/Protocols/tcp.protocol ] || fail "/var/lib/tessarc/Protocols does not reach tcp.protocol"
[ -e /var/lib/tessarc/Services/relay.service ] || fail "/var/lib/tessarc/Services does not reach relay.service"

# postinst made the system user; the trigger made the loader find libtessarc.
getent passwd tessarc >/dev/null || fail "no tessarc user"
cache=$(ldconfig -p)
grep -q 'libtessarc\.so\.0 ' <<<"$cache" || fail "libtessarc.so.0 is not in the loader's cache"
for program in /usr/bin/tessarc-server /usr/bin/tessarc-cli; do
    libraries=$(ldd "$program")
    if grep 'not found' <<<"$libraries"; then
        fail "$program misses a library"
    fi
done
/usr/bin/tessarc-cli --version

# The unit's sandbox.
unit=/usr/lib/systemd/system/tessarc-server.service
systemd-analyze verify --man=no "$unit" 2>&1 | grep -v -e 'Failed to' -e 'Cannot' || true
report=$(systemd-analyze security --offline=true --no-pager "$unit")
exposure=$(grep -o 'Overall exposure level for [^:]*: [0-9.]*' <<<"$report" | grep -o '[0-9.]*$')
[ -n "$exposure" ] || { echo "$report"; fail "no exposure level from systemd-analyze"; }
echo "check-deb: $unit exposure $exposure (at most $max_exposure)"
awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' || {
    echo "$report"
    fail "exposure $exposure is worse than $max_exposure"
}

# The packaged server and modules start as the tessarc user, from an install
# root laid out like /var/lib/tessarc but listening on ports the kernel
# picks, and stop with exit code 0 on SIGTERM.
root=$(mktemp -d)
chmod 755 "$root"
mkdir "$root/Config"
cp /etc/tessarc/*.cfg "$root/Config/"
sed -i 's/127\.0\.0\.1:740[01]/127.0.0.1:0/' "$root/Config/Communication.cfg"
ln -s /usr/lib/tessarc/Protocols /usr/lib/tessarc/Services "$root/"
setpriv --reuid=tessarc --regid=tessarc --clear-groups env TQ_INSTALL_DIR="$root" /usr/bin/tessarc-server >"$root/log" 2>&1 &
server=$!
for _ in $(seq 100); do
    grep -q 'tcp: listening for clients' "$root/log" && break
    sleep 0.1
done
kill -TERM "$server"
code=0
wait "$server" || code=$?
grep -q 'tcp: listening for clients' "$root/log" || { cat "$root/log"; fail "the packaged server did not listen"; }
grep -q 'relay' "$root/log" || { cat "$root/log"; fail "the packaged server did not load relay.service"; }
[ "$code" = 0 ] || { cat "$root/log"; fail "the packaged server exited with $code"; }
rm -rf "$root"
echo "check-deb: 2 packages checked"
