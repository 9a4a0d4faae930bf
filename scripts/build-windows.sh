#!/usr/bin/env bash
# Cross-builds the program for 64-bit Windows with MinGW-w64 and packages it as a zip and an
# NSIS installer. SQLite and Qt's base module (with Qt SQL) for Windows are built once from
# Debian's own sources into a cache folder outside the repository and reused by later runs; a
# cache built with other settings is built again. The saved login uses the Windows Credential
# Manager directly (advapi32), so no keychain library is built for Windows.
# Usage: scripts/build-windows.sh [--qt-only]
# Environment: PM_QT_WIN_CACHE (Qt cache, default /var/cache/proxymanager/qt6-mingw-sql),
#              PM_WIN_BUILD (build folder, default build-win/), PM_JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

qt_only=0
[ "${1:-}" = --qt-only ] && qt_only=1

cache=${PM_QT_WIN_CACHE:-/var/cache/proxymanager/qt6-mingw-sql}
build=${PM_WIN_BUILD:-$root/build-win}
jobs=${PM_JOBS:-2}
qt_version=6.4.2
triple=x86_64-w64-mingw32

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# --- 1. Tools, all from Debian's archive ------------------------------------------------------
# tcl: SQLite's build generates its single-file source with tclsh.
scripts/install-deps.sh g++-mingw-w64-x86-64-posix ninja-build nsis zip perl tcl

# --- 2. SQLite and Qt base module for Windows, built once ----------------------------------
# apt-get source needs deb-src lines: mirror the machine's own deb entries.
enable_deb_src() { # source package
    apt-get source --print-uris "$1" >/dev/null 2>&1 && return 0
    local list=/etc/apt/sources.list.d/proxymanager-deb-src
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $sudo tee "$list.sources" >/dev/null
    fi
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list | $sudo tee "$list.list" >/dev/null
    fi
    $sudo apt-get update -qq
}

# SQLite as one DLL for Qt's SQLite driver: the single-file source the package's own build
# generates (with host tools) is compiled for Windows. WAL with synchronous=NORMAL is safe for an
# application database and spares a flush per transaction.
sqlite_flags=(-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_WAL_SYNCHRONOUS=1
    -DSQLITE_ENABLE_COLUMN_METADATA)
build_sqlite() {
    local work=$cache.sqlite-work src version
    $sudo rm -rf "$work"
    $sudo mkdir -p "$work" "$cache"
    $sudo chown "$(id -u):$(id -g)" "$work" "$cache" "$(dirname "$cache")"
    enable_deb_src sqlite3
    (cd "$work" && apt-get source -qq sqlite3)
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)
    [ -n "$src" ] || { echo "SQLite sources not found" >&2; exit 1; }
    version=$(cd "$src" && dpkg-parsechangelog -S Version)
    local start=$SECONDS
    echo "Building SQLite $version for Windows into $cache"
    mkdir "$work/gen"
    (cd "$work/gen" && "$src/configure" --disable-tcl --disable-readline >/dev/null &&
        make sqlite3.c >/dev/null)
    mkdir -p "$cache/bin" "$cache/lib" "$cache/include"
    $triple-gcc-posix -shared "${sqlite_flags[@]}" -DSQLITE_API='__declspec(dllexport)' \
        -o "$cache/bin/sqlite3.dll" "$work/gen/sqlite3.c" \
        -Wl,--out-implib,"$cache/lib/libsqlite3.dll.a"
    cp "$work/gen/sqlite3.h" "$work/gen/sqlite3ext.h" "$cache/include/"
    echo "$version ${sqlite_flags[*]}" >"$sqlite_stamp"
    printf 'SQLite build took %ds\n' $((SECONDS - start))
    rm -rf "$work"
}

# What the cache's stamp records besides the version: a cache built otherwise is built again.
qt_features=(
    -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON
    -DFEATURE_sql_odbc=OFF -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF
    -DFEATURE_sql_db2=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF
    -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
    -DFEATURE_tabletevent=OFF
    -DFEATURE_schannel=ON -DFEATURE_openssl=OFF
    -DFEATURE_zstd=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_doubleconversion=OFF
)
qt_stamp="$qt_version features-$(printf '%s\n' "${qt_features[@]}" | sha256sum | cut -c1-12)"

build_qt() {
    local work=$cache.work
    $sudo mkdir -p "$work"
    $sudo chown "$(id -u):$(id -g)" "$work" "$(dirname "$cache")"
    enable_deb_src qt6-base

    local src
    src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n1)
    if [ -z "$src" ]; then
        (cd "$work" && apt-get source -qq qt6-base)
        src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n1)
    fi
    [ -n "$src" ] || { echo "Qt $qt_version sources not found" >&2; exit 1; }

    # The toolchain file stays in the cache: Qt's own toolchain file chain-loads it later.
    $sudo mkdir -p "$cache"
    $sudo chown "$(id -u):$(id -g)" "$cache"
    cat >"$cache/mingw-toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

    local start=$SECONDS
    echo "Building Qt $qt_version for Windows into $cache (takes a while)"
    cmake -G Ninja -S "$src" -B "$work/build" \
        -DCMAKE_TOOLCHAIN_FILE="$cache/mingw-toolchain.cmake" \
        -DCMAKE_INSTALL_PREFIX="$cache" \
        -DCMAKE_BUILD_TYPE=Release \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        "${qt_features[@]}" \
        -DSQLite3_INCLUDE_DIR="$cache/include" -DSQLite3_LIBRARY="$cache/lib/libsqlite3.dll.a" \
        -Wno-dev
    cmake --build "$work/build" -j"$jobs"
    cmake --install "$work/build"
    echo "$qt_stamp" >"$cache/.complete"
    local took=$((SECONDS - start))
    printf 'Qt build took %dm%02ds\n' $((took / 60)) $((took % 60)) | tee "$cache/build-time.txt"
    rm -rf "$work"
}

sqlite_stamp=$cache/.sqlite-complete
cache_ready() {
    [ "$(cut -d' ' -f2- "$sqlite_stamp" 2>/dev/null)" = "${sqlite_flags[*]}" ] &&
        [ "$(cat "$cache/.complete" 2>/dev/null)" = "$qt_stamp" ]
}
# One build of a cache at a time: a second run waits for the first, then uses what it built.
if ! cache_ready; then
    $sudo mkdir -p "$(dirname "$cache")"
    $sudo chown "$(id -u):$(id -g)" "$(dirname "$cache")"
    exec 9>>"$cache.lock"
    if ! flock -n 9; then
        echo "Waiting for another build of $cache"
        flock 9
    fi
fi
if [ "$(cut -d' ' -f2- "$sqlite_stamp" 2>/dev/null)" = "${sqlite_flags[*]}" ]; then
    echo "Using the cached SQLite $(cut -d' ' -f1 "$sqlite_stamp") for Windows"
else
    build_sqlite
fi
if [ "$(cat "$cache/.complete" 2>/dev/null)" = "$qt_stamp" ]; then
    echo "Using the cached Qt for Windows in $cache ($(cat "$cache/build-time.txt" 2>/dev/null))"
else
    build_qt
fi
exec 9>&-
[ "$qt_only" = 1 ] && exit 0

# --- 3. The project, cross-built --------------------------------------------------------------
# Benchmarks stay Linux programs; warnings fail the build.
cmake -G Ninja -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$cache/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DPM_BUILD_TESTS=ON -DPM_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$jobs"

# --- 4. Bundle, zip and installer -------------------------------------------------------------
version=$(sed -n 's/^project(ProxyManager VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
bundle=$build/bundle/ProxyManager
dist=$build/dist
rm -rf "$bundle" "$dist"
mkdir -p "$bundle" "$dist"

# Where the DLLs the program imports come from; anything not found here belongs to Windows.
dll_dirs=("$cache/bin" "$cache/lib"
    "$(dirname "$($triple-g++-posix -print-file-name=libstdc++-6.dll)")"
    "$(dirname "$($triple-g++-posix -print-file-name=libwinpthread-1.dll)")")

# Copies the DLLs a binary imports next to the program, and theirs, recursively.
add_imports() {
    local dll dir
    for dll in $($triple-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'); do
        [ -e "$bundle/$dll" ] && continue
        for dir in "${dll_dirs[@]}"; do
            if [ -f "$dir/$dll" ]; then
                cp "$dir/$dll" "$bundle/"
                add_imports "$bundle/$dll"
                break
            fi
        done
    done
}

cp "$build/app/proxymanager.exe" "$build/cli/proxymanager-cli.exe" "$bundle/"
# Plugins Qt loads at run time: platform, native styles, TLS backend, the .ico reader.
for plugin in platforms/qwindows styles/qwindowsvistastyle tls/qschannelbackend imageformats/qico; do
    mkdir -p "$bundle/$(dirname "$plugin")"
    cp "$cache/plugins/$plugin.dll" "$bundle/$plugin.dll"
done
while IFS= read -r binary; do
    add_imports "$binary"
done < <(find "$bundle" -name '*.exe' -o -name '*.dll')
# Qt SQL's SQLite driver, only for a program that uses Qt SQL; it brings the SQLite DLL.
if [ -e "$bundle/Qt6Sql.dll" ]; then
    mkdir -p "$bundle/sqldrivers"
    cp "$cache/plugins/sqldrivers/qsqlite.dll" "$bundle/sqldrivers/"
    add_imports "$bundle/sqldrivers/qsqlite.dll"
fi
$triple-strip --strip-unneeded "$bundle"/*.exe "$bundle"/*.dll "$bundle"/*/*.dll
# Text files in Windows line endings, for Notepad's sake.
for text in README.txt config.ini; do
    sed 's/\r*$/\r/' "$root/packaging/windows/$text" >"$bundle/$text"
done

zip_file=$dist/ProxyManager-$version-win64.zip
(cd "$(dirname "$bundle")" && zip -qr9 "$zip_file" "$(basename "$bundle")")

# The uninstaller removes exactly what was installed.
uninstall_list=$build/bundle/uninstall-files.nsh
# shellcheck disable=SC2016 # $INSTDIR is NSIS's, not the shell's
(
    cd "$bundle"
    find . -type f | sed 's|^\./||; s|/|\\|g; s|.*|    Delete "$INSTDIR\\&"|'
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|    RMDir "$INSTDIR\\&"|'
) >"$uninstall_list"
setup_file=$dist/ProxyManager-$version-win64-setup.exe
makensis -V2 -DVERSION="$version" -DBUNDLE="$bundle" -DOUTFILE="$setup_file" \
    -DICON="$root/resources/images/logo.ico" -DUNINSTALL_LIST="$uninstall_list" \
    "$root/packaging/windows/proxymanager.nsi"

echo "Windows build in $build; packages in $dist:"
(cd "$dist" && ls -l --block-size=K -- *.zip *.exe | awk '{print "  " $NF "  " $5}')
