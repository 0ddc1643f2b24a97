#!/usr/bin/env bash
# Prepares a Debian machine to build and test vrn_tavo.exe: the MinGW-w64 toolchains, Wine (with its
# 32-bit loader where the kernel starts 32-bit programs), the host tools, and OpenSSL and libcurl
# built from Debian's source packages for both Windows targets (i686, the product; x86_64, the 64-bit
# build that the tests also run), plus the unpacked cJSON sources. Idempotent; it says in one line on
# standard error each step that takes a while, and nothing when there is nothing to do. With
# --print-prefix it prints the dependency cache folder. Fails loudly.
set -euo pipefail
source "$(dirname "$0")/widths.sh"

CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/vrn_tavo-deps"
# Names how the libraries are built; a cache built another way is built again.
RECIPE=time64-noload
TARGETS=(i686 x86_64)
LOG="$(mktemp -t tavo-setup.XXXXXX)"
trap 'rm -f "$LOG"' EXIT

said=0
say() {
    echo "setup: $*" >&2
    said=1
}

fail() {
    echo "setup: $*" >&2
    [ -s "$LOG" ] && tail -n 25 "$LOG" | cut -c1-300 >&2
    exit 1
}

# Commands run without the set-up lock's descriptor, so that nothing they leave running holds it.
quiet() {
    "$@" >>"$LOG" 2>&1 9>&- || fail "failed: $*"
}

# One set-up at a time: a second run (the two commands started together, a test run beside the
# demo) waits here for the first and then reuses what it built, instead of deleting its unfinished
# cache folder.
lock_cache() {
    mkdir -p "$CACHE_ROOT"
    exec 9>"$CACHE_ROOT/.lock"
    if ! flock -n 9; then
        say "waiting for another set-up run to finish"
        flock 9
    fi
}

need_root() {
    [ "$(id -u)" = 0 ] || fail "run as root (packages are installed with apt-get)"
}

PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
          libboost-dev googletest cmake ninja-build make perl python3 openssl dpkg-dev xz-utils
          ca-certificates)

packages_announced=0
announce_packages() {
    [ "$packages_announced" = 0 ] || return 0
    packages_announced=1
    say "installing packages… (about a minute on a fresh machine)"
}

apt_updated=0
apt_update() {
    if [ "$apt_updated" = 0 ]; then
        quiet apt-get update -qq
        apt_updated=1
    fi
}

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ "${#missing[@]}" = 0 ] && return 0
    need_root
    announce_packages
    apt_update
    quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

# Wine's 32-bit loader comes from the i386 architecture; it runs the 32-bit product in a win64
# prefix, as WoW64 does on Windows.
install_wine32() {
    if ! tavo_can_start_32bit "$CACHE_ROOT"; then
        echo "setup: $TAVO_NO_32BIT; only the 64-bit build will run" >&2
        return 0
    fi
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' && return 0
    need_root
    announce_packages
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        quiet dpkg --add-architecture i386
        apt_updated=0
    fi
    apt_update
    quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine32:i386
}

# Source packages need deb-src entries; derive them from the machine's own apt sources.
enable_sources() {
    local src=/etc/apt/sources.list.d/vrn-tavo-src.sources
    local lst=/etc/apt/sources.list.d/vrn-tavo-src.list
    [ -e "$src" ] || [ -e "$lst" ] && return 0
    need_root
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src"
    elif [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"$lst"
    else
        fail "no Debian apt sources found to derive deb-src entries from"
    fi
    apt_updated=0
}

# Newest first; apt-cache showsrc lists every version the configured suites know.
source_versions() {
    apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -r -V -u
}

# Unpacks source package $1 into directory $2, trying the listed versions in turn.
fetch_source() {
    local pkg=$1 dest=$2 work ver
    work="$(mktemp -d)"
    for ver in $(source_versions "$pkg"); do
        if (cd "$work" && apt-get source -qq "$pkg=$ver") >>"$LOG" 2>&1; then
            local dir
            dir="$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
            rm -rf "$dest"
            mv "$dir" "$dest"
            rm -rf "$work"
            return 0
        fi
        rm -rf "${work:?}"/*
    done
    rm -rf "$work"
    fail "could not fetch the source package $pkg"
}

# The 32-bit C runtime's time_t is 32 bits unless asked otherwise, and its time(), gmtime() and
# localtime() end in January 2038: from then on OpenSSL would find every certificate not yet valid.
# The libraries are built with the 64-bit time_t and time functions that msvcrt.dll also has. No
# time_t crosses between them and the agent, which keeps the runtime's default.
time64_flags() {
    [ "$1" = i686 ] && echo "-D__MINGW_USE_VC2005_COMPAT" || true
}

# The agent runs with administrator rights, and a folder compiled into the library is, on Windows,
# rooted on the current drive, where any user may create folders. So OpenSSL reads no configuration
# file by itself and can load no engine or provider module (no-dso), and the folders it still names
# (OPENSSLDIR, ENGINESDIR, MODULESDIR) are those of OpenSSL's own Windows builds, which only
# administrators may write, never the install prefix on this machine. The headers and libraries are
# still installed into the prefix.
OPENSSL_FOLDERS=("OPENSSLDIR=C:/Program Files/Common Files/SSL"
                 "ENGINESDIR=C:/Program Files/OpenSSL/lib/engines-3"
                 "MODULESDIR=C:/Program Files/OpenSSL/lib/ossl-modules")

# Debian's patches build OpenSSL's assembler as PIC, which COFF cannot represent: use the C code.
build_openssl() {
    local src=$1 prefix=$2 arch=$3 target
    [ "$arch" = x86_64 ] && target=mingw64 || target=mingw
    mkdir -p "$src/build-$arch"
    (cd "$src/build-$arch" &&
        ../Configure "$target" no-shared no-tests no-asm no-autoload-config no-engine no-dso \
            --prefix="$prefix" --libdir=lib \
            --cross-compile-prefix="$arch-w64-mingw32-" $(time64_flags "$arch") &&
        make -j"$(nproc)" build_libs "${OPENSSL_FOLDERS[@]}" &&
        make install_dev "${OPENSSL_FOLDERS[@]}") >>"$LOG" 2>&1 || fail "OpenSSL build for $arch failed"
}

build_curl() {
    local src=$1 prefix=$2 arch=$3
    mkdir -p "$src/build-$arch"
    (cd "$src/build-$arch" &&
        ../configure --host="$arch-w64-mingw32" --prefix="$prefix" --disable-shared --enable-static \
            --with-openssl="$prefix" --without-zlib --without-brotli --without-zstd \
            --without-libidn2 --without-libpsl --without-nghttp2 --without-libssh2 \
            --without-librtmp --without-ca-bundle --without-ca-path --disable-openssl-auto-load-config \
            --enable-http --disable-ftp --disable-file --disable-ldap --disable-ldaps \
            --disable-rtsp --disable-dict --disable-telnet --disable-tftp --disable-pop3 \
            --disable-imap --disable-smb --disable-smtp --disable-gopher --disable-mqtt \
            --disable-manual --disable-ntlm --disable-unix-sockets \
            CPPFLAGS="-I$prefix/include $(time64_flags "$arch")" LDFLAGS="-L$prefix/lib" \
            LIBS="-lcrypt32 -lws2_32 -lbcrypt" &&
        make -j"$(nproc)" -C lib &&
        make -C lib install &&
        make -C include install) >>"$LOG" 2>&1 || fail "libcurl build for $arch failed"
}

build_deps() {
    local key prefix
    apt_update
    local vo vc vj
    vo="$(source_versions openssl | head -n 1)"
    vc="$(source_versions curl | head -n 1)"
    vj="$(source_versions cjson | head -n 1)"
    [ -n "$vo" ] && [ -n "$vc" ] && [ -n "$vj" ] || fail "source packages openssl, curl, cjson not listed"
    key="openssl-${vo}_curl-${vc}_cjson-${vj}_${RECIPE}"
    prefix="$CACHE_ROOT/$key"
    if [ ! -f "$prefix/.complete" ]; then
        say "building OpenSSL and libcurl for i686 and x86_64, first run only… (about a minute and a half)"
        rm -rf "$prefix"
        mkdir -p "$prefix/src"
        fetch_source openssl "$prefix/src/openssl"
        fetch_source curl "$prefix/src/curl"
        fetch_source cjson "$prefix/src/cjson"
        # Both targets build at once, each in its own build folders and with its own log.
        local arch pids=()
        for arch in "${TARGETS[@]}"; do
            (LOG="$LOG.$arch"
             build_openssl "$prefix/src/openssl" "$prefix/$arch" "$arch"
             build_curl "$prefix/src/curl" "$prefix/$arch" "$arch"
             rm -f "$LOG") 9>&- &
            pids+=($!)
        done
        local pid status=0
        for pid in "${pids[@]}"; do
            wait "$pid" || status=1
        done
        [ "$status" = 0 ] || fail "dependency build failed"
        # Keep only the cJSON sources; the project compiles them itself.
        rm -rf "$prefix/src/openssl" "$prefix/src/curl"
        touch "$prefix/.complete"
    fi
    ln -sfn "$prefix" "$CACHE_ROOT/current"
}

elapsed() {
    local seconds=$((SECONDS - $1))
    if [ "$seconds" -ge 60 ]; then
        echo "$((seconds / 60)) min $((seconds % 60)) s"
    else
        echo "$seconds s"
    fi
}

main() {
    local started=$SECONDS
    lock_cache
    install_packages
    install_wine32
    enable_sources
    local current
    current="$(readlink -f "$CACHE_ROOT/current" 2>/dev/null || true)"
    if [ ! -f "$current/.complete" ] || [ "${current##*_}" != "$RECIPE" ]; then
        build_deps
    fi
    [ "$said" = 0 ] || say "done in $(elapsed "$started")"
    if [ "${1:-}" = --print-prefix ]; then
        readlink -f "$CACHE_ROOT/current"
    fi
}

main "$@"
