# shellcheck shell=bash disable=SC2154 # run's variables
# The C sample of tests/consumer cross-built against the Windows package (the installed DLL, its
# import library, header and CMake package) and updating itself from 2.0.3 to 2.1.0 under Wine,
# with the DLL shipped in each release beside Tavrel.exe. Sourced by tests/windows/run.

consumer=$scratch/consumer
package=$consumer/package
rm -rf "$consumer" && mkdir -p "$consumer"
cmake --install "$product" --prefix "$package" >/dev/null
# The package is found where it was installed, outside the toolchain's root paths.
if ! cmake -S "$repo/tests/consumer" -B "$consumer/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DTavrelUpdater_DIR="$package/lib/cmake/TavrelUpdater" -DCMAKE_EXE_LINKER_FLAGS=-static \
    >"$consumer/configure.log" 2>&1 ||
    ! cmake --build "$consumer/build" >"$consumer/build.log" 2>&1; then
    fail "the C sample builds against the Windows package"
    tail -n 30 "$consumer/configure.log" "$consumer/build.log" | sed 's/^/  /'
else
    for version in 2.0.3 2.1.0; do
        tree=$consumer/tree-$version
        mkdir -p "$tree"
        "$linux_build/tools/tavrel-set-version" "$consumer/build/sample_app.exe" \
            "$tree/Tavrel.exe" "$version.0" >/dev/null
        cp "$package/bin/tavrel_updater.dll" "$tree/"
        printf 'data of %s\n' "$version" >"$tree/data.txt"
        [ "$version" = 2.1.0 ] || printf 'only in 2.0.3\n' >"$tree/gone.txt"
        "$linux_build/tools/tavrel-release" "$tree" "$consumer/release-$version" \
            --key "$repo/tests/keys/test_update.key" --version "$version" >/dev/null
    done
    app=$consumer/app download=$consumer/downloads/tavrel-download-1 log=$consumer/started.log
    mkdir -p "$app" "$consumer/new" "$download"
    unzip -q "$consumer/release-2.0.3/update.zip" -d "$app"
    unzip -q "$consumer/release-2.1.0/update.zip" -d "$consumer/new"
    cp "$consumer/release-2.1.0/update.zip" "$download/"
    feed=$consumer/release-2.1.0/update.json
    (cd "$app" && SAMPLE_LOG=$(winpath "$log") wine "$app/Tavrel.exe" update \
        "$(winpath "$package/bin/tavrel-updater.exe")" "$(winpath "$app")" \
        "$(winpath "$download/update.zip")" \
        "$(sed -n 's/.*"signature": "\([^"]*\)".*/\1/p' "$feed")" \
        "$(sed -n 's/.*"size": \([0-9]*\).*/\1/p' "$feed")" 2.1.0) >"$consumer/sample.out" 2>&1 ||
        true
    for _ in $(seq 600); do
        grep -q "started after an update" "$log" 2>/dev/null && [ ! -e "$download" ] && break
        sleep 0.1
    done
    sleep 1.5 # the updated sample's second
    need "the old sample waited for \"prepared\"" grep -q ': done' "$consumer/sample.out"
    need "the updated sample confirmed its start" grep -q "started after an update" "$log"
    need "download removed" test ! -e "$download"
    need "tree = 2.1.0 as released" diff -r "$consumer/new" "$app"
    report "the C sample updates itself through tavrel_updater.dll" || cat "$consumer/sample.out"
fi
