#!/usr/bin/env bash
# usage: tests/platform/sdk.sh [BUILD_DIR]   (default build/openwrt)
#
# Makes BUILD_DIR/openwrt an OpenWrt build tree that builds packages offline, as an SDK does:
# the tree from sources/openwrt-tree.tar.xz with only the packages a package build needs
# (the full scan takes a minute), configured by `make defconfig` for ramips/mt76x8 (mipsel_24kc,
# musl, MIPS16) with ipk packages and strip, and a stand-in for the toolchain OpenWrt would build:
# Debian's mipsel-linux-gnu compiler and binutils with the headers, start files and libc of
# musl-dev:mipsel, under the names and in the folder OpenWrt expects. Skipped when
# BUILD_DIR/key matches the hash of the tarball and of this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mkdir -p "${1:-build/openwrt}" && cd "${1:-build/openwrt}" && pwd)
key=$(cat "$here/sources/openwrt-tree.tar.xz" "$0" | sha256sum | cut -d' ' -f1)
if [ -f "$out/key" ] && [ "$(cat "$out/key")" = "$key" ]; then
    echo "sdk: up to date in $out/openwrt"
    exit 0
fi
rm -rf "$out/openwrt" "$out/key"
tar -xJf "$here/sources/openwrt-tree.tar.xz" -C "$out"
tree=$out/openwrt

# The C library, libgcc and iw (the package's dependency) are all the scan needs to resolve.
keep=(Makefile libs/toolchain network/utils/iw libs/libnl-tiny)
mv "$tree/package" "$out/package.all"
for dir in "${keep[@]}"; do
    mkdir -p "$tree/package/$(dirname "$dir")"
    mv "$out/package.all/$dir" "$tree/package/$dir"
done
rm -rf "$out/package.all"

# sstrip is one of the host tools OpenWrt builds from a download: strip it is.
cat >"$tree/.config" <<'EOF'
CONFIG_TARGET_ramips=y
CONFIG_TARGET_ramips_mt76x8=y
# CONFIG_USE_APK is not set
# CONFIG_USE_SSTRIP is not set
CONFIG_USE_STRIP=y
EOF
make -C "$tree" defconfig >/dev/null
for option in 'CONFIG_USE_MIPS16=y' 'CONFIG_PKG_FORTIFY_SOURCE_1=y' 'CONFIG_PKG_RELRO_FULL=y' \
    'CONFIG_PKG_CC_STACKPROTECTOR_REGULAR=y' 'CONFIG_USE_STRIP=y' '# CONFIG_USE_APK is not set'; do
    grep -qx "$option" "$tree/.config" || { echo "sdk: .config lacks $option" >&2; exit 1; }
done

# The stand-in toolchain: OpenWrt's GCC knows -fhonour-copts, Debian's does not. Its C++
# compiler is the gcc driver, which compiles C++ but links no libstdc++ (there is none for
# musl here, and the program needs none). Debian's makes position-independent executables by
# default, OpenWrt's (PKG_ASLR_PIE_NONE) does not.
gcc_version=$(sed -n 's/^CONFIG_GCC_VERSION="\(.*\)"/\1/p' "$tree/.config")
toolchain=$tree/staging_dir/toolchain-mipsel_24kc_gcc-${gcc_version}_musl
mkdir -p "$toolchain/bin" "$toolchain/lib" "$toolchain/usr/include" "$toolchain/include/fortify"
musl=/usr/lib/mipsel-linux-musl
gcc_include=$(mipsel-linux-gnu-gcc -print-file-name=include)
for tool in gcc g++ cpp; do
    driver=$tool
    [ "$tool" != g++ ] || driver=gcc
    cat >"$toolchain/bin/mipsel-openwrt-linux-musl-$tool" <<EOF
#!/bin/sh
for arg; do
    shift
    [ "\$arg" = -fhonour-copts ] || set -- "\$@" "\$arg"
done
exec mipsel-linux-gnu-$driver -fno-pie -no-pie -specs=$musl/musl-gcc.specs -nostdinc \\
    -isystem /usr/include/mipsel-linux-musl -isystem $gcc_include "\$@"
EOF
    chmod 755 "$toolchain/bin/mipsel-openwrt-linux-musl-$tool"
done
ln -sf mipsel-openwrt-linux-musl-gcc "$toolchain/bin/mipsel-openwrt-linux-musl-cc"
for tool in ar as ld ld.bfd nm objcopy objdump ranlib readelf strip size strings gcc-ar gcc-nm gcc-ranlib; do
    ln -sf "$(command -v "mipsel-linux-gnu-$tool")" "$toolchain/bin/mipsel-openwrt-linux-musl-$tool"
done
# Host programs a package build runs that `make defconfig` does not link.
for tool in cmake ninja fakeroot flock; do
    ln -sf "$(command -v "$tool")" "$tree/staging_dir/host/bin/$tool"
done
# What an SDK's prebuilt libc package provides, for the check of a package's libraries.
mkdir -p "$tree/staging_dir/target-mipsel_24kc_musl/pkginfo" "$tree/staging_dir/target-mipsel_24kc_musl/stamp"
echo libc.so >"$tree/staging_dir/target-mipsel_24kc_musl/pkginfo/libc.provides"
echo "$key" >"$out/key"
echo "sdk: ready in $tree (gcc $gcc_version stand-in)"
