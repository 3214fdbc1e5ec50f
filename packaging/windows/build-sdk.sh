#!/bin/bash
# Builds the Windows SDK Corvane cross-compiles against, from Debian's own
# source packages: zlib (static), OpenSSL (shared) and Qt's qtbase (Core, Gui,
# Widgets, Network, Test; windows and offscreen platforms; OpenSSL and Schannel
# TLS), with Debian's mingw-w64 compilers (posix threads) and Debian's Qt host
# tools, so moc, rcc and uic match the Qt being built.
#
#   packaging/windows/build-sdk.sh PREFIX [WORKDIR]
#
# The sources come through a private apt configuration in WORKDIR (default: a
# temporary folder): deb-src lines for the archives and suites the machine
# already uses, its own lists and cache. The machine's apt sources and lists
# are not touched. Takes about 35 to 45 minutes on two cores.
set -euo pipefail

prefix=${1:?usage: build-sdk.sh PREFIX [WORKDIR]}
work=${2:-}
jobs=${JOBS:-$(nproc)}
host=x86_64-w64-mingw32
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
own_work=0
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/corvane-win-sdk.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# --- the sources -----------------------------------------------------------
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
# deb-src for every "deb" entry of the machine's sources (one-line and deb822
# formats), signed by the same keys.
python3 - "$apt_dir/sources.list" <<'PY'
import glob, re, sys
entries = []
def add(uri, suite, comps, opts):
    line = "deb-src " + (f"[{opts}] " if opts else "") + f"{uri} {suite} {' '.join(comps)}"
    if line not in entries:
        entries.append(line)
files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list"))
for name in files:
    try:
        text = open(name).read()
    except OSError:
        continue
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].strip()
        m = re.match(r"deb\s+(\[[^\]]*\]\s+)?(\S+)\s+(\S+)\s*(.*)", line)
        if m:
            opts = (m.group(1) or "").strip()[1:-1].strip()
            add(m.group(2), m.group(3), m.group(4).split(), opts)
for name in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in re.split(r"\n\s*\n", open(name).read()):
        fields = {}
        key = None
        for raw in stanza.splitlines():
            if raw.startswith("#"):
                continue
            if raw[:1] in " \t" and key:
                fields[key] += " " + raw.strip()
                continue
            if ":" in raw:
                key, value = raw.split(":", 1)
                key = key.strip().lower()
                fields[key] = value.strip()
        if "deb" not in fields.get("types", "").split() or fields.get("enabled", "yes").lower() == "no":
            continue
        opts = f"signed-by={fields['signed-by']}" if fields.get("signed-by", "").startswith("/") else ""
        for uri in fields.get("uris", "").split():
            for suite in fields.get("suites", "").split():
                add(uri, suite, fields.get("components", "").split(), opts)
# Only Debian's own archive carries the source packages we want.
debian = [e for e in entries if "debian" in e]
open(sys.argv[1], "w").write("\n".join(debian) + "\n")
PY
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root")
log "private apt sources:"; cat "$apt_dir/sources.list"
apt-get "${apt_opts[@]}" -q update
src=$work/src
mkdir -p "$src"
# The newest version whose files the archive serves: a mirror may list a
# security update before it carries its sources.
fetch() {
    local package=$1 version
    for version in $(apt-cache "${apt_opts[@]}" showsrc "$package" | sed -n 's/^Version: //p' |
                     sort -u | sort -r -V); do
        mkdir -p "$src/$package"
        if (cd "$src/$package" && apt-get "${apt_opts[@]}" -q source --download-only "$package=$version" >/dev/null); then
            (cd "$src/$package" && dpkg-source --no-check -x ./*.dsc >/dev/null)
            log "$package $version"
            return 0
        fi
        rm -rf "${src:?}/$package"
    done
    echo "build-sdk.sh: no version of $package could be fetched" >&2
    return 1
}
fetch zlib
fetch openssl
fetch qt6-base
zlib_src=$(find "$src/zlib" -mindepth 1 -maxdepth 1 -type d | head -n1)
openssl_src=$(find "$src/openssl" -mindepth 1 -maxdepth 1 -type d | head -n1)
qt_src=$(find "$src/qt6-base" -mindepth 1 -maxdepth 1 -type d | head -n1)
log "sources: $zlib_src $openssl_src $qt_src"

# --- the toolchain file ----------------------------------------------------
cat > "$prefix/mingw-w64-x86_64.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $host-gcc-posix)
set(CMAKE_CXX_COMPILER $host-g++-posix)
set(CMAKE_RC_COMPILER $host-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$host $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE

# --- zlib, static ----------------------------------------------------------
start=$SECONDS
log "zlib"
# Debian's source leaves out zlib's win32 makefiles; the library is fifteen files.
zlib_build=$work/zlib-build
mkdir -p "$zlib_build" "$prefix/include" "$prefix/lib" "$prefix/bin"
for name in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
            inftrees trees uncompr zutil; do
    $host-gcc-posix -O2 -D_LARGEFILE64_SOURCE=1 -c "$zlib_src/$name.c" -o "$zlib_build/$name.o"
done
rm -f "$prefix/lib/libz.a"
$host-ar rcs "$prefix/lib/libz.a" "$zlib_build"/*.o
cp "$zlib_src/zlib.h" "$zlib_src/zconf.h" "$prefix/include/"
log "zlib done in $((SECONDS - start)) s"

# --- OpenSSL, shared -------------------------------------------------------
start=$SECONDS
log "OpenSSL"
(cd "$openssl_src" &&
    ./Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib \
        shared no-tests CC=gcc-posix CXX=g++-posix >/dev/null &&
    make -j"$jobs" >/dev/null &&
    make install_sw >/dev/null)
log "OpenSSL done in $((SECONDS - start)) s"

# --- qtbase ----------------------------------------------------------------
start=$SECONDS
log "qtbase"
qt_build=$work/qtbase-build
cmake -S "$qt_src" -B "$qt_build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$prefix/mingw-w64-x86_64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dbus=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_system_zlib=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_openssl=ON -DFEATURE_openssl_linked=OFF -DFEATURE_schannel=ON \
    -DOPENSSL_ROOT_DIR="$prefix" >"$work/qtbase-configure.log"
cmake --build "$qt_build" -j"$jobs" >"$work/qtbase-build.log"
cmake --install "$qt_build" >/dev/null
log "qtbase done in $((SECONDS - start)) s"

[ "$own_work" = 1 ] && rm -rf "$work"
log "SDK ready in $prefix"
