#!/usr/bin/env bash
# usage: tests/platform/build.sh [BUILD_DIR]   (default build/platform)
#
# Builds OpenWrt's own userland from the tarballs in tests/platform/sources for this host,
# offline: libubox (with jshn), uci, ubus (ubusd, the ubus command), libnl-tiny, ucode with its
# ubus, uci, nl80211, rtnl, digest, fs, struct and uloop modules, udebug, procd and ubox's
# validate_data. Everything is installed under BUILD_DIR/root at its device paths (prefix /usr,
# the commands OpenWrt keeps in /sbin and /bin linked there too), so that root can serve as a
# device's root file system. Both package managers, apk (OpenWrt 25.12 on) and opkg (24.10 and
# before), are built as OpenWrt builds them for its host, into BUILD_DIR/bin: they install into
# a root folder from outside it.
# Skipped when BUILD_DIR/key matches the hash of the tarballs and of this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mkdir -p "${1:-build/platform}" && cd "${1:-build/platform}" && pwd)
key=$(cat "$here"/sources/*.tar.gz "$0" | sha256sum | cut -d' ' -f1)
if [ -f "$out/key" ] && [ "$(cat "$out/key")" = "$key" ]; then
    echo "platform: up to date in $out"
    exit 0
fi
rm -rf "${out:?}/src" "$out/obj" "$out/root" "${out:?}/bin" "$out/key"
mkdir -p "$out/src" "$out/obj" "$out/root" "$out/bin"
root=$out/root
jobs=$(nproc)

# glibc 2.36 lacks the strlcpy that musl and procd have; no header before procd's own.
cat >"$out/obj/compat.h" <<'EOF'
#include <stddef.h>
static inline size_t compat_strlcpy(char *d, const char *s, size_t n)
{
	size_t l = __builtin_strlen(s);
	if (n) {
		size_t c = l < n - 1 ? l : n - 1;
		__builtin_memcpy(d, s, c);
		d[c] = 0;
	}
	return l;
}
#define strlcpy compat_strlcpy
EOF

flags="-I$root/usr/include -I$root/usr/include/libnl-tiny"
links="-L$root/usr/lib -Wl,-rpath-link,$root/usr/lib"

# component NAME [--target TARGET] [cmake options...]: configures, builds and, without a
# target, installs one source tarball.
component() {
    local name=$1 target=()
    shift
    if [ "${1:-}" = --target ]; then
        target=(--target "$2")
        shift 2
    fi
    cmake -S "$out/src/$name" -B "$out/obj/$name" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_PREFIX_PATH="$root/usr" \
        -DCMAKE_FIND_ROOT_PATH="$root" -DCMAKE_C_FLAGS="$flags ${CFLAGS_EXTRA:-}" \
        -DCMAKE_EXE_LINKER_FLAGS="$links" -DCMAKE_SHARED_LINKER_FLAGS="$links" \
        -DCMAKE_MODULE_LINKER_FLAGS="$links" -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF "$@" >/dev/null
    cmake --build "$out/obj/$name" -j "$jobs" "${target[@]}" >/dev/null
    [ ${#target[@]} -ne 0 ] || DESTDIR=$root cmake --install "$out/obj/$name" >/dev/null
    echo "platform: built $name"
}

# Side by side where one does not need another: configuring takes as long as building.
together() {
    local pids=() pid status=0
    for name in "$@"; do
        component "$name" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || status=1
    done
    return $status
}

# Some tarballs name their folder after the commit: each is found by the tarball's name.
for tarball in "$here"/sources/*.tar.gz; do
    mkdir "$out/src/tmp"
    tar -xzf "$tarball" -C "$out/src/tmp"
    mv "$out/src/tmp/"* "$out/src/$(basename "$tarball" .tar.gz)"
    rmdir "$out/src/tmp"
done
component libubox
# apk needs nothing of the platform.
apk_tools() {
    meson setup "$out/obj/apk-tools" "$out/src/apk-tools" -Db_lto=true -Ddocs=disabled \
        -Dhelp=disabled -Dlua=disabled -Ddefault_library=static -Durl_backend=wget \
        -Dzstd=disabled -Dpython=disabled -Dtests=disabled -Dcrypto_backend=openssl >/dev/null
    ninja -C "$out/obj/apk-tools" -j "$jobs" src/apk >/dev/null
    install -m 755 "$out/obj/apk-tools/src/apk" "$out/bin/apk"
    echo "platform: built apk-tools"
}
together uci ubus libnl-tiny
PKG_CONFIG_PATH=$root/usr/lib/pkgconfig component ucode -DUBUS_SUPPORT=ON -DUCI_SUPPORT=ON \
    -DNL80211_SUPPORT=ON -DRTNL_SUPPORT=ON -DDIGEST_SUPPORT=ON -DFS_SUPPORT=ON \
    -DSTRUCT_SUPPORT=ON -DULOOP_SUPPORT=ON -DLOG_SUPPORT=ON -DSOCKET_SUPPORT=ON \
    -DDEBUG_SUPPORT=OFF -DZLIB_SUPPORT=OFF -DRESOLV_SUPPORT=OFF &
ucode=$!
# procd needs only udebug's library (whose CMake looks for ucode's headers), and the test only
# procd itself.
component udebug --target udebug -Ducode_include_dir="$out/src/ucode/include"
install -m 644 "$out/src/udebug/udebug.h" "$out/src/udebug/udebug-pcap.h" "$root/usr/include/"
cp -P "$out/obj/udebug"/libudebug.so* "$root/usr/lib/"
CFLAGS_EXTRA="-include $out/obj/compat.h -D_GNU_SOURCE= -Wno-error=format-overflow" \
    component procd --target procd
install -m 755 "$out/obj/procd/procd" "$root/usr/sbin/procd"
# opkg as OpenWrt's host build makes it, with libubox linked in; only its command.
component opkg-lede --target opkg-cl -DSTATIC_UBOX=ON -DBUILD_TESTS=OFF -DHOST_CPU=mipsel_24kc \
    -DLOCK_FILE=/var/lock/opkg.lock -DVERSION=38eccbb1fd69
install -m 755 "$out/obj/opkg-lede/src/opkg-cl" "$out/bin/opkg"
# ubox's validate_data, the checker uci_load_validate and procd_add_validation run.
CFLAGS_EXTRA=-D_GNU_SOURCE component ubox --target validate_data
install -m 755 "$out/obj/ubox/validate_data" "$root/usr/sbin/validate_data"
install -m 755 "$out/obj/ubox/libvalidate.so" "$root/usr/lib/libvalidate.so"
wait "$ucode"
apk_tools

# Where OpenWrt keeps them: procd.sh and rc.common call some by absolute path.
mkdir -p "$root/sbin" "$root/bin"
ln -sf ../usr/sbin/ubusd "$root/sbin/ubusd"
ln -sf ../usr/sbin/procd "$root/sbin/procd"
ln -sf ../usr/sbin/validate_data "$root/sbin/validate_data"
ln -sf ../usr/bin/uci "$root/sbin/uci"
ln -sf ../usr/bin/ubus "$root/bin/ubus"
for module in ubus uci nl80211 rtnl digest fs struct uloop; do
    [ -f "$root/usr/lib/ucode/$module.so" ] || { echo "ucode module $module missing" >&2; exit 1; }
done
rm -rf "$out/src" "$out/obj"
echo "$key" >"$out/key"
echo "platform: installed in $root"
