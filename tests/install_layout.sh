#!/bin/sh
# usage: install_layout.sh BUILD_DIR FILE...: a staged `cmake --install` of the build puts
# exactly the files named (relative to the prefix) and nothing else, each executable where
# it lives in bin/.
set -eu
build=$1
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null
got=$(cd "$stage/usr" && find . -type f | sed 's|^\./||' | sort)
want=$(printf '%s\n' "$@" | sort)
if [ "$got" != "$want" ]; then
    printf 'installed:\n%s\nexpected:\n%s\n' "$got" "$want" >&2
    exit 1
fi
for f in "$@"; do
    case $f in bin/*) [ -x "$stage/usr/$f" ] || { echo "not executable: $f" >&2; exit 1; } ;; esac
done
echo "installed as expected: $*"
