#!/usr/bin/env bash
# Runs the shipped 32-bit Windows program on this 64-bit machine: Debian's i386 Wine, its i386
# programs run through user-mode qemu-i386. Nothing is installed into the system: the packages are
# downloaded with a private apt configuration and unpacked under the build tree. The one system-wide
# change is the kernel's binfmt entry that hands i386 programs to qemu-i386, made by `register` and
# taken away by `unregister`.
#
#   wine32.sh setup DIR       download and unpack into DIR, make the wine prefix (idempotent)
#   wine32.sh run DIR CMD...  run CMD with the entry registered, one wine server up and the
#                             environment of env; the entry and the server go when CMD ends,
#                             however it ends
#   wine32.sh env DIR         print that environment (NAME=VALUE lines)
set -euo pipefail

BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=qemu-i386
# The packages, by name: qemu-user from backports (bookworm's own 7.2 spends tens of seconds of
# processor time per Wine process in its memory-map bookkeeping), Wine's i386 half, and the i386
# GnuTLS with what it needs, by which Wine's CNG (bcrypt) verifies ECDSA signatures.
PACKAGES=(qemu-user/bookworm-backports libc6:i386 libgcc-s1:i386 libwine:i386 wine32:i386 libz-mingw-w64
          libgnutls30:i386 libgmp10:i386 libhogweed6:i386 libnettle8:i386 libidn2-0:i386 libp11-kit0:i386
          libtasn1-6:i386 libunistring2:i386 libffi8:i386)

# The machine's own Debian mirrors (main and security), so that no host name is written here.
mirror_of() {
    local kind=$1
    { cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {print $2}'
      awk '/^deb / {print ($2 ~ /^\[/ ? $3 : $2)}' /etc/apt/sources.list 2>/dev/null || true; } |
        grep -E "debian${kind}/?\$" | head -n 1 || true
}

setup() {
    local dir=$1
    # Done already, for this list of packages.
    if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "${PACKAGES[*]}" ]; then return 0; fi
    local main security
    main=$(mirror_of "")
    security=$(mirror_of "-security")
    if [ -z "$main" ]; then
        echo "wine32.sh: no Debian mirror found in the machine's apt sources" >&2
        return 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/archives/partial" "$dir/debs" "$dir/root"
    {
        echo "deb [arch=amd64,i386] $main bookworm main"
        echo "deb [arch=amd64,i386] $main bookworm-updates main"
        echo "deb [arch=amd64,i386] $main bookworm-backports main"
        if [ -n "$security" ]; then echo "deb [arch=amd64,i386] $security bookworm-security main"; fi
    } >"$dir/apt/sources.list"
    : >"$dir/apt/status"
    local apt=(apt-get -q -o "Dir::Etc::SourceList=$dir/apt/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
               -o "Dir::State=$dir/apt" -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::State::status=$dir/apt/status"
               -o "Dir::Cache=$dir/apt" -o "Dir::Cache::archives=$dir/apt/archives"
               -o "APT::Architecture=amd64" -o "APT::Architectures=amd64,i386" -o "Debug::NoLocking=1")
    "${apt[@]}" update >"$dir/apt.log" 2>&1 || { cat "$dir/apt.log" >&2; return 1; }
    (cd "$dir/debs" && "${apt[@]}" download "${PACKAGES[@]}" >>"$dir/apt.log" 2>&1) || { cat "$dir/apt.log" >&2; return 1; }
    local deb
    for deb in "$dir"/debs/*.deb; do
        case "$(basename "$deb")" in
            qemu-user_*)
                mkdir -p "$dir/qemu"
                dpkg-deb -x "$deb" "$dir/qemu"
                cp "$dir/qemu/usr/bin/qemu-i386" "$dir/qemu-i386"
                rm -rf "$dir/qemu"
                ;;
            *) dpkg-deb -x "$deb" "$dir/root" ;;
        esac
    done
    rm -rf "$dir/apt/archives" "$dir/apt/lists" "$dir/debs"

    # The prefix: a 32-bit one, booted once with the server's talk kept off every console.
    register "$dir"
    trap unregister EXIT
    local -a environment
    mapfile -t environment < <(print_env "$dir")
    env "${environment[@]}" "$dir/root/usr/lib/wine/wine" wineboot --init >"$dir/wineboot.log" 2>&1 || {
        cat "$dir/wineboot.log" >&2
        return 1
    }
    env "${environment[@]}" /usr/lib/wine/wineserver64 -w
    echo "${PACKAGES[*]}" >"$dir/ready"
}

register() {
    local dir=$1
    [ -f "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT"
    [ -e "$BINFMT/$ENTRY" ] && echo -1 >"$BINFMT/$ENTRY"
    # The i386 ELF header (class 32-bit, little endian, executable or shared object, machine 3);
    # F opens the interpreter now, so that it is found from inside any mount namespace.
    printf '%s' ":$ENTRY:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$dir/qemu-i386:F" \
        >"$BINFMT/register"
}

unregister() {
    if [ -e "$BINFMT/$ENTRY" ]; then echo -1 >"$BINFMT/$ENTRY"; fi
}

print_env() {
    local dir=$1
    echo "QEMU_LD_PREFIX=$dir/root"
    echo "WINEPREFIX=$dir/prefix"
    echo "WINEARCH=win32"
    # The installed 64-bit server serves 32-bit programs as well.
    echo "WINESERVER=/usr/lib/wine/wineserver64"
    # Without it the console host cannot load zlib1.dll, and a program on a pseudo terminal ends
    # with status 1 and no output.
    echo "WINESYSTEMDLLPATH=$dir/root/usr/i686-w64-mingw32/lib"
    echo "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe="
    echo "WINEDEBUG=-all"
    echo "WINE=$dir/root/usr/lib/wine/wine"
}

run() {
    local dir=$1
    shift
    # Global: the EXIT trap runs after this function has returned.
    mapfile -t environment < <(print_env "$dir")
    register "$dir"
    trap 'env "${environment[@]}" /usr/lib/wine/wineserver64 -k >/dev/null 2>&1; unregister' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # One server for every test, and the services wine starts with its first program, started here
    # so that nothing they print (a server dump, font warnings) reaches a test's console.
    env "${environment[@]}" /usr/lib/wine/wineserver64 -p >/dev/null 2>&1
    env "${environment[@]}" "$dir/root/usr/lib/wine/wine" wineboot >/dev/null 2>&1 </dev/null
    local status=0
    env "${environment[@]}" "$@" || status=$?
    return $status
}

case "${1:-}" in
    setup) setup "$(realpath -m "$2")" ;;
    run) dir=$(realpath -m "$2"); shift 2; run "$dir" "$@" ;;
    env) print_env "$(realpath -m "$2")" ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
esac
