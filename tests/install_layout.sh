#!/bin/sh
# usage: install_layout.sh BUILD_DIR PATH...
# `cmake --install` of the build, staged with DESTDIR under the prefix /usr, puts exactly the
# PATHs given, and the programs and init scripts among them are executable.
set -eu
build=$1
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
got=$(cd "$stage" && find . -type f | sed 's|^\.||' | sort)
want=$(printf '%s\n' "$@" | sort)
binaries=$(printf '%s\n' "$@" | grep -e /bin/ -e /init.d/ || true)
if [ "$got" != "$want" ]; then
    printf 'installed:\n%s\nexpected:\n%s\n' "$got" "$want" >&2
    exit 1
fi
for f in $binaries; do
    [ -x "$stage$f" ] || { echo "not executable: $f" >&2; exit 1; }
done
echo "installed as expected:" "$(echo "$got" | tr '\n' ' ')"
