# Shared by the scripts: installing Debian packages a fresh machine lacks.

# ensure_packages PKG...: installs the missing ones (as root), or says what is missing and stops.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}" >&2
        echo "Run as root, or install them with: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    case " ${missing[*]}" in
    *:mipsel*) dpkg --print-foreign-architectures | grep -qx mipsel || dpkg --add-architecture mipsel ;;
    esac
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
        { echo "apt-get could not install: ${missing[*]}" >&2; exit 1; }
}

HOST_PACKAGES=(cmake make g++ libgtest-dev python3 util-linux mount)

# configure_and_build DIR [cmake args...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -Wno-dev "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
