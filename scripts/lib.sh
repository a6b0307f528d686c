# shellcheck shell=bash
# Shared by the scripts: installing Debian packages a fresh machine lacks, and the stages of
# scripts/check.

# ensure_packages PKG...: installs the missing ones when root, saying first what it installs
# and which package architecture it adds; otherwise prints the commands to run as root and stops
# before anything else is done.
ensure_packages() {
    local missing=() commands=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    case " ${missing[*]}" in
    *:mipsel*) dpkg --print-foreign-architectures | grep -qx mipsel ||
        commands+=("dpkg --add-architecture mipsel") ;;
    esac
    commands+=("apt-get update" "apt-get install -y ${missing[*]}")
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}" >&2
        echo "Run these commands as root, then run this script again:" >&2
        printf '    %s\n' "${commands[@]}" >&2
        exit 1
    fi
    echo "Installing Debian packages: ${missing[*]}"
    [ "${commands[0]}" = "dpkg --add-architecture mipsel" ] &&
        echo "Adding the package architecture mipsel (dpkg --add-architecture mipsel)"
    local command
    for command in "${commands[@]}"; do
        DEBIAN_FRONTEND=noninteractive $command >/dev/null 2>"${TMPDIR:-/tmp}/apt-get.err" ||
            { cat "${TMPDIR:-/tmp}/apt-get.err" >&2; echo "failed: $command" >&2; exit 1; }
    done
}

# stage NAME COMMAND...: runs the command with its output kept in build/logs/NAME.log and prints
# one line with the name, result and time, then the test runner's summary lines and the fuzz
# runs made. When the command fails, its log is shown and the script stops.
stage() {
    local name=$1 log="build/logs/$1.log" start end status=0
    shift
    mkdir -p build/logs
    start=$(date +%s.%N)
    "$@" >"$log" 2>&1 || status=$?
    end=$(date +%s.%N)
    local took
    took=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1fs", b - a }')
    if [ $status -ne 0 ]; then
        cat "$log"
        printf '%-20s FAILED %7s   (log: %s)\n' "$name" "$took" "$log"
        exit 1
    fi
    printf '%-20s ok     %7s\n' "$name" "$took"
    grep -E '^[0-9]+% tests passed|^(Done|budgets:|package:|clang-tidy:)' "$log" | sed 's/^/    /' || true
}

# background NAME COMMAND...: runs a stage beside the ones that follow, in its own log;
# await NAME waits for it and then prints its line (and stops the script if it failed).
declare -A background_stages=()
background() {
    local name=$1
    shift
    mkdir -p build/logs
    (stage "$name" "$@") >"build/logs/$name.line" 2>&1 &
    background_stages[$name]=$!
}
await() {
    local name=$1 status=0
    wait "${background_stages[$name]}" || status=$?
    cat "build/logs/$name.line"
    [ $status -eq 0 ] || exit 1
}

# ---- the stages of scripts/check, as scripts/stages lists them ----------------------------

declare -a stage_names=()
declare -A stage_groups=() stage_needs=() stage_how=() stage_command=() stage_what=()
declare -A stage_selected=()

# trim TEXT: without the blanks around it.
trim() {
    local text=${1#"${1%%[![:space:]]*}"}
    printf '%s' "${text%"${text##*[![:space:]]}"}"
}

# read_stages FILE: the table into the stage_* arrays.
read_stages() {
    local name groups needs how command what
    while IFS='|' read -r name groups needs how command what; do
        name=$(trim "$name")
        case $name in '' | '#'*) continue ;; esac
        stage_names+=("$name")
        stage_groups[$name]=$(trim "$groups")
        stage_needs[$name]=$(trim "$needs")
        stage_how[$name]=$(trim "$how")
        stage_command[$name]=$(trim "$command")
        stage_what[$name]=$(trim "$what")
    done <"$1"
}

list_stages() {
    local name
    for name in "${stage_names[@]}"; do
        printf '%-12s %s\n' "$name" "${stage_what[$name]}"
    done
}

# select_stages [STAGE...]: the stages asked for (all when none) and everything they need.
select_stages() {
    local name
    [ $# -gt 0 ] || set -- "${stage_names[@]}"
    for name in "$@"; do
        if [ -z "${stage_how[$name]:-}" ]; then
            echo "scripts/check: no stage $name; scripts/check --list lists them" >&2
            exit 2
        fi
        select_with_needs "$name"
    done
}
select_with_needs() {
    local need
    [ -n "${stage_selected[$1]:-}" ] && return 0
    stage_selected[$1]=1
    for need in ${stage_needs[$1]}; do
        select_with_needs "$need"
    done
}

# The Debian packages of the selected stages' groups, the host group's first.
selected_packages() {
    local name group groups=" host "
    for name in "${stage_names[@]}"; do
        [ -n "${stage_selected[$name]:-}" ] || continue
        for group in ${stage_groups[$name]}; do
            case $groups in *" $group "*) ;; *) groups+="$group " ;; esac
        done
    done
    for group in $groups; do
        local name=${group^^}
        name=${name//-/_}_PACKAGES
        if ! declare -p "$name" >/dev/null 2>&1; then
            echo "scripts/stages: no package group $group (no $name in scripts/lib.sh)" >&2
            return 1
        fi
        local -n list=$name
        printf '%s\n' "${list[@]}"
    done
}

# Each selected stage in the table's order, once the background ones it needs have ended;
# then the background ones still running.
run_selected_stages() {
    local name need
    for name in "${stage_names[@]}"; do
        [ -n "${stage_selected[$name]:-}" ] || continue
        for need in ${stage_needs[$name]}; do
            [ -n "${background_stages[$need]:-}" ] && await_once "$need"
        done
        # shellcheck disable=SC2086 # the command's words
        if [ "${stage_how[$name]}" = bg ]; then
            background "$name" ${stage_command[$name]}
        else
            stage "$name" ${stage_command[$name]}
        fi
    done
    for name in "${stage_names[@]}"; do
        [ -n "${background_stages[$name]:-}" ] && await_once "$name"
    done
    return 0
}
declare -A awaited=()
await_once() {
    [ -n "${awaited[$1]:-}" ] && return 0
    awaited[$1]=1
    await "$1"
}

HOST_PACKAGES=(cmake make g++ libgtest-dev python3 util-linux mount tshark busybox shellcheck)

# configure_and_build DIR [cmake args...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -Wno-dev "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# configure_server DIR [cmake args...]: the server's programs as its Debian package builds
# them: Release, the prefix /usr and Debian's build flags.
configure_server() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -Wno-dev -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DSTATION_REPORTER_WERROR=OFF -DSTATION_REPORTER_UNIT_TESTS=OFF -DSTATION_REPORTER_E2E_TESTS=OFF \
        "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
        "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
        "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" "$@"
}

# OpenWrt's userland built for the host (tests/platform/build.sh) and the device made of it,
# with both package managers (apk builds with meson against OpenSSL; its key is made with openssl).
PLATFORM_PACKAGES=(cmake ninja-build gcc make pkg-config libjson-c-dev libmd-dev zlib1g-dev util-linux iproute2 busybox jq
    meson libssl-dev openssl)
# What OpenWrt's build tree checks for before `make defconfig` (include/prereq-build.mk), and
# runs to build a package (tests/platform/sdk.sh); the cross compiler is among CROSS_PACKAGES.
SDK_PACKAGES=(gcc g++ make gawk git rsync unzip wget file bzip2 patch perl python3 python3-distutils xxd ninja-build fakeroot)
# station-presence: its libraries, and the broker, MQTT clients and browser its tests run.
PRESENCE_PACKAGES=(pkgconf libsqlite3-dev libmosquitto-dev nlohmann-json3-dev libsimdjson-dev
    libssl-dev libsystemd-dev mosquitto mosquitto-clients openssl chromium)

# The server's Debian package: dpkg-shlibdeps for its Depends, lintian to check it.
DEB_PACKAGES=(dpkg-dev lintian)

# The documents' diagram.
DOCS_PACKAGES=(graphviz)

HARDENING_PACKAGES=(clang libclang-rt-14-dev clang-tidy clang-format cppcheck)

# The kernel Wi-Fi VM: Debian's kernel, QEMU, and the userland that runs inside it.
WIFI_VM_PACKAGES=(qemu-system-x86 linux-image-amd64 hostapd wpasupplicant iw wireless-regdb busybox cpio)

# station-presence's unit in a VM: Debian's systemd as PID 1 over the host's own /usr (with the
# kernel, QEMU and BusyBox of the Wi-Fi VM), and the tools its checks run there.
SYSTEMD_VM_PACKAGES=(systemd iproute2 procps mosquitto mosquitto-clients qemu-system-x86 linux-image-amd64 busybox cpio)

CROSS_PACKAGES=(gcc-mipsel-linux-gnu g++-mipsel-linux-gnu binutils-mipsel-linux-gnu musl-dev:mipsel
    g++-mips-linux-gnu binutils-mips-linux-gnu qemu-user-static)

# Stripped the way firmware images strip their programs.
strip_like_firmware() { # STRIP IN OUT
    "$1" --strip-all -R .comment -R .gnu.attributes -R .mdebug.abi32 -R .pdr -o "$3" "$2"
}

# check_device_budgets BINARY: size, shared libraries and imports of the mipsel-musl build.
check_device_budgets() {
    local bin=$1 stripped size needed imports bad
    stripped=$(mktemp)
    strip_like_firmware mipsel-linux-gnu-strip "$bin" "$stripped"
    size=$(stat -c %s "$stripped")
    rm -f "$stripped"
    needed=$(mipsel-linux-gnu-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    imports=$(mipsel-linux-gnu-readelf --dyn-syms -W "$bin" | awk '$7 == "UND" && $8 != "" {print $5, $8}')
    # __cxa_finalize is a weak reference of the compiler's C start files, which musl's
    # libc provides; any other C++ ABI name means the C++ runtime crept in.
    bad=$(echo "$imports" | grep -v '^WEAK __cxa_finalize$' |
        grep -E ' (malloc|calloc|realloc|free|_Zn[wa]|_Zd[la]|_ZSt|_ZT[VIS]|__cxa_|__gxx_|_Unwind_)' || true)
    local ok=1
    [ "$size" -le 8192 ] || { echo "FAIL: stripped mipsel-musl binary is $size bytes, over 8192"; ok=0; }
    [ "$needed" = "libc.so " ] || { echo "FAIL: needed shared libraries: $needed"; ok=0; }
    [ -z "$bad" ] || { echo "FAIL: forbidden imports:"; echo "$bad"; ok=0; }
    [ $ok -eq 1 ] || return 1
    echo "budgets: stripped size $size <= 8192 bytes; needs only: $needed; no allocator or C++ runtime import"
}

# size_table NAME=BINARY:STRIP ...
size_table() {
    local entry name rest bin strip tmp
    printf '%-14s %10s %10s\n' build "bytes" "stripped"
    for entry in "$@"; do
        name=${entry%%=*} rest=${entry#*=} bin=${rest%%:*} strip=${rest#*:}
        tmp=$(mktemp)
        strip_like_firmware "$strip" "$bin" "$tmp"
        printf '%-14s %10s %10s\n' "$name" "$(stat -c %s "$bin")" "$(stat -c %s "$tmp")"
        rm -f "$tmp"
    done
}
