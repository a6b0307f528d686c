#!/bin/sh
# usage: install_layout.sh BUILD_DIR RECIPE | BUILD_DIR PATH...
# `cmake --install` of the build, staged with DESTDIR under the prefix /usr, puts exactly the
# files the OpenWrt recipe installs (its $(1)/... destinations), or exactly the PATHs given, and
# every one the recipe installs with INSTALL_BIN is executable.
set -eu
build=$1
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
got=$(cd "$stage" && find . -type f | sed 's|^\.||' | sort)
if [ -f "$1" ]; then
    # The recipe's $(1) is the package's root, not a shell expansion.
    # shellcheck disable=SC2016
    want=$(sed -n 's/.*INSTALL_\(BIN\|CONF\|DATA\).* \$(1)\(\/[^ ]*\)$/\2/p' "$1" | sort)
    # shellcheck disable=SC2016
    binaries=$(sed -n 's/.*INSTALL_BIN.* \$(1)\(\/[^ ]*\)$/\1/p' "$1")
else
    want=$(printf '%s\n' "$@" | sort)
    binaries=$(printf '%s\n' "$@" | grep /bin/ || true)
fi
if [ "$got" != "$want" ]; then
    printf 'installed:\n%s\nexpected:\n%s\n' "$got" "$want" >&2
    exit 1
fi
for f in $binaries; do
    [ -x "$stage$f" ] || { echo "not executable: $f" >&2; exit 1; }
done
echo "installed as expected:" "$(echo "$got" | tr '\n' ' ')"
