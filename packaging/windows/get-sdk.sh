#!/bin/bash
# Makes sure the Windows SDK is at PREFIX: there already, or unpacked from
# TARBALL (which holds opt/corvane-win-sdk/), or built from Debian's sources.
#   get-sdk.sh PREFIX [TARBALL]
set -euo pipefail
prefix=$1
tarball=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$prefix/mingw-w64-x86_64.cmake" ] && [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    exit 0
fi
if [ -n "$tarball" ]; then
    echo "Windows SDK: unpacking $tarball into $prefix"
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    tar -C "$scratch" -xf "$tarball"
    mkdir -p "$(dirname "$prefix")"
    rm -rf "$prefix"
    mv "$scratch/opt/corvane-win-sdk" "$prefix"
    # The toolchain file names the folder the SDK was built for.
    sed -i "s|/opt/corvane-win-sdk|$prefix|g" "$prefix/mingw-w64-x86_64.cmake"
    exit 0
fi
echo "Windows SDK: none at $prefix and no WIN_SDK_TARBALL; building it from Debian's sources (about 40 minutes)"
"$here/build-sdk.sh" "$prefix"
