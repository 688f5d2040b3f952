# shellcheck shell=bash disable=SC2154,SC2016 # run's variables; rows' commands run by eval
# Whole updates under Wine: tavrel-updater.exe (and the test build tavrel-updater-test.exe)
# against the demo application, with packages made by the Linux tavrel-pack and tavrel-sign and
# the trees of the Linux end-to-end tests. tavrel-wine-driver plays the application in every
# run; `expect` checks a run's whole outcome as one row. Sourced by tests/windows/run.

updates=$scratch/updates
mkdir -p "$updates/bin"
# Without its debugging information the demo application packs and unpacks six times faster.
"$mingw-strip" -o "$updates/bin/demo.exe" "$demo"
for version in 2.0.2.0 2.0.3.0 2.1.0.0; do
    "$linux_build/tools/tavrel-set-version" "$updates/bin/demo.exe" \
        "$updates/bin/demo-$version.exe" "$version" >/dev/null
done

put() { # DIRECTORY VERSION [FILE TEXT]...: Tavrel.exe of VERSION and the files
    local directory=$1
    mkdir -p "$1" && cp "$updates/bin/demo-$2.exe" "$1/Tavrel.exe" && shift 2
    for (( ; $#; )); do
        mkdir -p "$(dirname "$directory/$1")" && printf '%s' "$2" >"$directory/$1" && shift 2
    done
}
version_tree() { # DIRECTORY VERSION: the files of VERSION, shared with the Linux tests
    local version file content
    while IFS=$'\t' read -r version file content; do
        [ "$version" = "$2" ] && mkdir -p "$(dirname "$1/$file")" || continue
        if [[ $content == "demo-app "* ]]; then
            cp "$updates/bin/demo-${content#demo-app }.exe" "$1/$file"
        else printf '%s' "$content" >"$1/$file"; fi
    done <"$repo/tests/data/cases/demo_versions.tsv"
}
old_version() { version_tree "$1" 2.0.3; }
new_version() { version_tree "$1" 2.1.0; }
big_version() { # 1,500 more files, 12 MiB that do not compress
    new_version "$1" && mkdir -p "$1/big"
    head -c $((1500 * 8192)) /dev/urandom | split -b 8192 -a 4 - "$1/big/file-"
}
long() { printf 'segment-%02d-' $(seq 1 "$1"); }
long_version() { new_version "$1" && put "$1" 2.1.0.0 "$(long 5)/$(long 5)/$(long 4)x.dat" deep; }

pack() { # WRITER ARCHIVE: the tree that WRITER writes, packed and signed; sets signature, size
    rm -rf "$updates/tree" && "$1" "$updates/tree" && mkdir -p "$(dirname "$2")"
    "$linux_build/tools/tavrel-pack" "$updates/tree" "$2" >/dev/null
    { read -r signature && read -r size; } < <("$linux_build/tools/tavrel-sign" sign \
        "$repo/tests/keys/test_update.key" "$2")
}
unpacked() { rm -rf "$2" && mkdir -p "$2" && unzip -q "$1" -d "$2"; } # ARCHIVE DIRECTORY
# What an installation of a version is: its package unpacked, package file manifest included.
pack old_version "$updates/old.zip" && unpacked "$updates/old.zip" "$updates/reference-old"
pack new_version "$updates/new.zip" && unpacked "$updates/new.zip" "$updates/reference-new"
new_package=("$signature" "$size")

new_case() { # NAME: a fresh installation of 2.0.3 and a download directory with 2.1.0 signed
    case_name=$1 case_dir=$updates/$1 app_win=
    app=$case_dir/app download=$case_dir/tavrel-download-1 start_log=$case_dir/starts.log
    archive=$download/update.zip signature=${new_package[0]} size=${new_package[1]}
    rm -rf "$case_dir" && mkdir -p "$download"
    cp -a "$updates/reference-old" "$app" && cp "$updates/new.zip" "$archive"
}

# The MessageBoxW calls of Wine's relay trace as "owner flags caption: text", the text
# unescaped but for characters beyond ASCII (\00e9):
#   Call user32.MessageBoxW(00000000,00c94540 L"text",140108458 L"Tavrel Update",00000010) ret=...
box_fields='s/^.*Call user32\.MessageBoxW\(([0-9a-f]+),[0-9a-f]+ L"(.*)",[0-9a-f]+ L"(.*)",'
box_fields+='([0-9a-f]+)\) ret=.*$/\1 \4 \3: \2/; s/\\\\/\x01/g; s/\\"/"/g; s/\x01/\\/g'
# run_driver [VARIABLE=value|DRIVER OPTION]... -- PROGRAM [ARGUMENT...]: one run with the
# parent; sets code (PROGRAM's exit code) and boxes (its message boxes, one a line).
run_driver() {
    local environment=() options=()
    while [ "$1" != -- ]; do
        if [[ $1 == [A-Z]*=* ]]; then environment+=("$1"); else options+=("$1"); fi
        shift
    done
    rm -f "$start_log"
    download_before=$(ls -A "$download" 2>/dev/null || true)
    code=0
    (cd "$case_dir" && env WINEDEBUG=-all,+timestamp,+relay TAVREL_DEMO_LIFETIME_MS=300 \
        TAVREL_DEMO_HANG_MS=5000 TAVREL_DEMO_LOG="$(winpath "$start_log")" "${environment[@]}" \
        wine "$driver" "${options[@]}" "$(winpath "$demo")" "$(winpath "$download")" \
        "$(winpath "$2")" "${@:3}") >"$case_dir/driver.out" 2>"$case_dir/driver.err" || code=$?
    boxes=$(grep -a 'Call user32\.MessageBoxW(' "$case_dir/driver.err" | sed -E "$box_fields" ||
        true)
}
run_update() { # UPDATER VERSION [VARIABLE=value|DRIVER OPTION]...: the update to VERSION
    run_driver "${@:3}" -- "$1" '{pid}' "$(winpath "$app")" "$(winpath "$archive")" \
        "$signature" "$size" "$2"
}

# --- expectations ----------------------------------------------------------------------------
matches() { # TEXT PATTERN: only the pattern characters * and +(...) are special
    # shellcheck disable=SC2053 # a pattern indeed
    [[ $1 == ${2//\\/\\\\} ]] || { printf '  got:\n%s\n  expected:\n%s\n' "$1" "$2" >&2 && false; }
}
# The same regular files with the same bytes; directories that an undo emptied do not count, nor
# does a staging directory (checked on its own).
file_list() {
    (cd "$1" && find . -path './.tavrel-update-*' -prune -o -type f -exec md5sum {} + | sort -k 2)
}
same_files() { diff <(file_list "$1") <(file_list "$2") >&2; }
staging_left() { compgen -G "$app/.tavrel-update-*" >/dev/null; }
no_staging() { ! staging_left; }
version() { [ "$(version_of "$app/Tavrel.exe")" = "$1" ]; } # of the installed Tavrel.exe
retried() { # the rename of a file of this name was tried more than once
    (($(grep -a 'Call KERNEL32.MoveFileExW(' "$case_dir/driver.err" | grep -c -F "\\$1\"") > 1))
}
# Every move of the run written through: MOVEFILE_REPLACE_EXISTING | COPY_ALLOWED | WRITE_THROUGH.
written_through() {
    grep -a 'Call KERNEL32.MoveFileExW(' "$case_dir/driver.err" | grep -q . &&
        ! grep -a 'Call KERNEL32.MoveFileExW(' "$case_dir/driver.err" | grep -v ',0000000b) ' >&2
}
no_window() { ! grep -aq 'CreateWindowExW(.*L"TavrelUpdateProgress"' "$case_dir/driver.err"; }
# expect CODE BOX TREE STARTS DOWNLOAD [CHECK[:ARGUMENT]...]: the row of the last run
#   BOX       - for none, else the text of the only message box, which has no owner, the error
#             icon, the OK button and the caption "Tavrel Update"; {app} stands for the
#             installation directory, * for any text
#   TREE      old|new|packed (the case's package unzipped to packed/): the same entries with
#             the same bytes; ~old|~new: the same files; - unchecked (nor is a staging directory)
#   STARTS    the application's starts in order, in the installation directory: U the updated
#             one (with its startup event), P the previous one; - none
#   DOWNLOAD  removed | kept (the package stays for another try) | untouched (as before the run)
expect() {
    local where=${app_win:-$(winpath "$app")} tree=${3#\~} want='' i check words
    local event=' --tavrel-update-event=Local\TavrelUpdate-+([0-9])-+([0-9])'
    need "exit code $1" test "$code" = "$1"
    if [ "$2" = - ]; then
        need "no message box" test -z "$boxes"
    else
        need "message box \"$2\"" matches "$boxes" \
            "00000000 00000010 Tavrel Update: ${2//\{app\}/$where}"
    fi
    local reference=$updates/reference-$tree
    [ "$tree" != packed ] || reference=$case_dir/packed
    case $3 in
    -) ;;
    \~*) need "files = $tree" same_files "$reference" "$app" ;;
    *) need "tree = $tree" diff -r "$reference" "$app" >&2 ;;
    esac
    [ "$3" = - ] || need "no staging directory" no_staging
    for ((i = 0; i < ${#4}; i++)); do
        case ${4:i:1} in
        U) want+="${want:+$'\n'}start --disable-splash$event|$where" ;;
        P) want+="${want:+$'\n'}start --disable-splash|$where" ;;
        esac
    done
    need "starts $4" matches "$(tr -d '\r' 2>/dev/null <"$start_log" || true)" "$want"
    case $5 in
    removed) need "download removed" test ! -e "$download" ;;
    kept) need "package kept" test -f "$archive" ;;
    untouched) need "download untouched" test "$(ls -A "$download")" = "$download_before" ;;
    esac
    for check in "${@:6}"; do
        IFS=: read -ra words <<<"$check"
        need "${words[*]}" "${words[@]}"
    done
    report "$case_name" || printf '  exit code %s; message boxes:\n%s\n' "$code" "${boxes:-(none)}"
}
row() { # NAME COMMANDS EXPECTATION...: COMMANDS run in a new case, then its row
    new_case "$1" && eval "$2" && expect "${@:3}"
}

# Wine starts its own services (winedevice, plugplay, svchost, rpcss) with the first program of a
# session, and they take the cores for a second or so: started here, ahead of the rows that time
# the updater (no progress window within a second of the application's exit), and kept running.
wineserver -p && wine wineboot >/dev/null 2>&1 && sleep 1

# --- whole updates, rollbacks of an application that does not confirm its start, refusals
# after it exited: the rows shared with the Linux tests --------------------------------------
only_exe() { put "$1" "$exe"; }
while IFS=$'\t' read -ra fields; do # a row: the updater, the version, ..., what it is
    [[ ${fields[0]} == \#* ]] && continue
    new_case "${fields[10]}"
    exe=${fields[2]} && [ "$exe" = - ] || pack only_exe "$archive"
    [ "${fields[3]}" = good ] || signature=$("$linux_build/tools/tavrel-sign" sign \
        "$repo/tests/keys/test_update.key" "$updates/bin/demo.exe" | head -n 1)
    settings=(TAVREL_TEST_CONFIRMATION_MS=1500)
    [ "${fields[4]}" = - ] || read -ra settings <<<"${fields[4]} ${settings[*]}"
    program=$updater && [ "${fields[0]}" = product ] || program=$test_updater
    run_update "$program" "${fields[1]}" "${settings[@]}"
    expect "${fields[@]:5:5}" no_window
done <"$repo/tests/data/cases/whole_updates.tsv"
# Refused before the application has exited: the box, and nothing is started.
row invalid-version 'run_update "$updater" 2.1' \
    1 "The requested update version is invalid." old - untouched

# --- rejected command lines: exit code 2, nothing shown, changed or started ------------------
new_case rejections
mkdir -p "$case_dir/tavrel-download-2"
cp "$archive" "$case_dir/tavrel-download-2/Update.zip"
rejected() { # NAME [DRIVER OPTION]... -- [ARGUMENT]...: a run of tavrel-updater.exe
    local case_name="rejected, $1" options=()
    shift && while [ "$1" != -- ]; do options+=("$1") && shift; done
    run_driver "${options[@]}" -- "$updater" "${@:2}"
    expect 2 - old - untouched
}
w=('{pid}' "$(winpath "$app")" "$(winpath "$archive")" "$signature" "$size" 2.1.0)
rejected "no arguments" --
rejected "parent process id 42x" -- 42x "${w[@]:1}"
rejected "archive named Update.zip" -- "${w[@]:0:2}" \
    "$(winpath "$case_dir/tavrel-download-2/Update.zip")" "${w[@]:3}"
rejected "size 536870913" -- "${w[@]:0:4}" 536870913 2.1.0
rejected "--RECOVER in capitals" --cwd "$(winpath "$download")" -- "${w[@]:0:2}" --RECOVER
rejected "recovery in a directory without the prefix" --cwd "$(winpath "$case_dir")" -- \
    "${w[@]:0:2}" --recover

# --- one updater per installation on the whole machine, whatever its session or user: the lock
# is the mutex "Global\TavrelUpdateLock-" and the first 16 bytes of the SHA-512 of the
# installation path, in hex. Held by another updater, or by another user's, which this user may
# not open, the run is refused as a second updater's is. Wine has one session: the namespace
# shows in the name held here, not in a run from another session -----------------------------
lock_name() {
    local digest
    digest=$(printf '%s' "$(winpath "$app")" | sha512sum)
    printf 'Global\\TavrelUpdateLock-%s' "${digest:0:32}"
}
row "installation locked by another updater" 'run_update "$updater" 2.1.0 \
    --hold-lock "$(lock_name)"' 2 - old - untouched
row "installation locked by another user" 'run_update "$updater" 2.1.0 \
    --hold-lock-denied "$(lock_name)"' 2 - old - untouched

# --- an update interrupted by a crash is undone by --recover, and by the next update ---------
# The crash comes after the file-system change of the 5th rename of a complete update.
crash_point_found() { [ -n "$crash_point" ]; }
row "update logging its changes" 'run_update "$test_updater" 2.1.0 \
    TAVREL_CHANGE_LOG="$(winpath "$case_dir/changes.log")" && crash_point=$(tr -d "\r" \
    <"$case_dir/changes.log" | awk '\''$2 == "rename" && ++n == 5 { print $1 }'\'')' \
    0 - new U removed crash_point_found
moved_partly() { # neither the files of 2.0.3 nor those of 2.1.0
    ! same_files "$updates/reference-old" "$app" 2>/dev/null &&
        ! same_files "$updates/reference-new" "$app" 2>/dev/null
}
crash() { run_update "$test_updater" 2.1.0 TAVREL_CRASH_AFTER_CHANGE="${crash_point:-1}"; }
row "crash after change $crash_point" crash 86 - - - kept staging_left moved_partly
row "crash, then update" 'crash && run_update "$updater" 2.1.0' 0 - ~new U removed
row "crash, then --recover" 'crash && run_driver --cwd "$(winpath "$download")" -- \
    "$updater" "{pid}" "$(winpath "$app")" --recover' 0 - ~old P kept

# --- the application side starts the updater from a directory named with blanks and a final
# backslash (which the updater takes as it is), and leaves --------------------------------------
app_side() { # LINUX_DIRECTORY WINDOWS_DIRECTORY [VARIABLE=value]...
    rm -rf "$1" && mkdir -p "$(dirname "$1")" && mv "$app" "$1"
    app=$1 app_win=${2%\\}
    run_driver "${@:3}" -- "$demo" update "$(winpath "$updater")" "$2" "$(winpath "$archive")" \
        "$signature" "$size" 2.1.0
}
# The application saw "prepared", then exited, then the updated one started (the driver's own
# stand-in parent logs an exit of its own, at "ready").
prepared_then_exit() {
    [[ $(cut -d ' ' -f 1 "$case_dir/times.log" | tr -d '\r' | paste -sd ' ') =~ \
        prepared\ (exit\ )+start$ ]]
}
row "application side, program files" 'app_side "$WINEPREFIX/drive_c/Program Files/Tavrel" \
    "C:\\Program Files\\Tavrel\\"' 0 - new U removed
row "application side, two blanks" 'app_side "$updates/two blanks/two  blanks" \
    "$(winpath "$updates/two blanks/two  blanks")\\"' 0 - new U removed
row "application side, prepared" 'app_side "$case_dir/prepared" "$(winpath "$case_dir/prepared")" \
    TAVREL_DEMO_TIMES="$(winpath "$case_dir/times.log")"' 0 - new U removed prepared_then_exit

# --- a message box names a path as it is: accents and CJK decoded, no byte widened on its own
# (which Wine would show as \00c3 or \ffc3). The package is not there: "canonical" names it.
row unicode 'download="$case_dir/José 中文/tavrel-download-1" archive=$download/update.zip &&
    mkdir -p "$download" && run_update "$updater" 2.1.0' 1 "canonical: *: \"$(winpath \
    "$updates/unicode")"'\Jos\00e9 \4e2d\6587\tavrel-download-1\update.zip"' old - untouched

# --- delta updates: the delta package that the Linux tavrel-release makes from the 2.0.3 release
# installs exactly what the full package installs; given to an installation that is not its
# base, it is refused before anything is staged and the application starts again ---------------
rm -rf "$updates/delta-tree" "$updates/delta-out" && new_version "$updates/delta-tree"
"$linux_build/tools/tavrel-release" "$updates/delta-tree" "$updates/delta-out" --key \
    "$repo/tests/keys/test_update.key" --version 2.1.0 --delta-from "$updates/old.zip" >/dev/null
delta_entry=$(grep -o '{"base": "2.0.3".*}' "$updates/delta-out/update.json")
delta_package=("$(sed -E 's/.*"signature": "([^"]*)".*/\1/' <<<"$delta_entry")"
    "$(sed -E 's/.*"size": ([0-9]+).*/\1/' <<<"$delta_entry")")
use_delta() { cp "$updates/delta-out/update-from-2.0.3.zip" "$archive" &&
    signature=${delta_package[0]} size=${delta_package[1]}; }
# Tavrel.exe is patched (the small files go whole: their patches would not be smaller).
exe_kept() { [ "$(tail -c 1 "$app/Tavrel.exe")" = x ]; }
not_base="The update does not fit the installed version."
row "delta update" 'use_delta && run_update "$updater" 2.1.0' 0 - new U removed written_through
row "delta, a patched file changed" 'use_delta && printf x >>"$app/Tavrel.exe" &&
    run_update "$updater" 2.1.0' 1 "$not_base" - P kept no_staging exe_kept
row "delta, another installed version" 'use_delta && cp "$updates/bin/demo-2.0.2.0.exe" \
    "$app/Tavrel.exe" && run_update "$updater" 2.1.0' 1 "$not_base" - P kept no_staging

# --- failure records and trusted keys: a release in the middle of a key rotation trusts the
# second test key first and the test key after it; an update signed with either installs, one
# signed with another key is refused as ever and leaves its failure record ---------------------
"$linux_build/tools/tavrel-sign" keygen "$updates/other.key" >/dev/null
sign_with() { "$linux_build/tools/tavrel-sign" sign "$1" "$archive" | head -n 1; } # KEY_FILE
record() { # CODE ROLLED_BACK: the failure record in the download directory
    [ "$(tr -d '\r' <"$download/failure.txt" | sed -n '2p;5p' | paste -sd ' ')" = \
        "code $1 rolled-back $2" ]
}
no_record() { [ ! -e "$download/failure.txt" ]; }
unverified="The update signature could not be verified. No installed files were changed."
row "two keys, signed by the second" 'run_update "$rotation_updater" 2.1.0' 0 - new U removed
row "two keys, signed by the first" 'signature=$(sign_with "$repo/tests/keys/second_update.key") &&
    run_update "$rotation_updater" 2.1.0' 0 - new U removed
row "two keys, signed by neither" 'signature=$(sign_with "$updates/other.key") &&
    run_update "$rotation_updater" 2.1.0' 1 "$unverified" old P kept record:4:no
row "one key, signed by a key it does not trust" \
    'signature=$(sign_with "$repo/tests/keys/second_update.key") && run_update "$updater" 2.1.0' \
    1 "$unverified" old P kept record:4:no
row "failure record of a rollback" 'run_update "$test_updater" 2.1.0 TAVREL_DEMO_BEHAVIOUR=exit \
    TAVREL_TEST_CONFIRMATION_MS=1500' 1 "The updated application could not be launched." ~old UP \
    kept record:54:yes

# --- files held by another program as a virus scanner does (no sharing for delete or rename):
# held briefly, the rename is retried and the update succeeds; held beyond the 10 s that one
# operation may wait, the rename fails as before and the update is rolled back ----------------
for held in installed staged; do
    for ms in 1500 13000; do
        run="run_update \"\$updater\" 2.1.0 --hold-$held \"\$(winpath \"\$app/readme.txt\")\""
        if ((ms < 10000)); then
            row "$held file held $ms ms" "$run --hold-ms $ms" 0 - new U removed retried:readme.txt
        elif [ $held = installed ]; then
            row "$held file held $ms ms" "$run --hold-ms $ms" 1 \
                'rename: *: "{app}\readme.txt", "{app}\.tavrel-update-*\old\readme.txt"' ~old P kept
        else
            row "$held file held $ms ms" "$run --hold-ms $ms" 1 \
                'rename: *: "{app}\.tavrel-update-*\new\readme.txt", "{app}\readme.txt"' ~old P kept
        fi
    done
done

# --- a progress window for an update that lasts: created once, a second or more after the
# updater started, by its own thread, its bar (PBM_SETPOS, 0x402) rising, destroyed before
# Tavrel.exe starts; never a message box. Trace lines begin with "seconds:thread:".
progress_shown() {
    grep -a -E 'Call (user32\.(CreateWindowExW|DestroyWindow|SendMessageW|MessageBoxW)|KERNEL32\.CreateProcessW)\(' \
        "$case_dir/driver.err" | awk -v updater="$(basename "$updater")" '
        function hex(text,    n, i) {
            for (i = 1; i <= length(text); i++) n = n * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
            return n
        }
        { split($0, field, ":"); time = field[1] + 0; thread = field[2] }
        /CreateProcessW\(/ && index($0, updater) && !started { started = time }
        /CreateWindowExW\(.*L"TavrelUpdateProgress"/ { created++; created_at = time; owner = thread }
        /SendMessageW\([0-9a-f]+,00000402,/ && thread == owner && !destroyed {
            match($0, /00000402,[0-9a-f]+/)
            value = hex(substr($0, RSTART + 9, RLENGTH - 9))
            falling += value < last; last = value; moves++
        }
        /DestroyWindow\(/ && thread == owner && created && !destroyed { destroyed = NR }
        /CreateProcessW\(.*Tavrel\.exe"/ && !app { app = NR }
        /MessageBoxW\(/ { boxes++ }
        END {
            ok = created == 1 && created_at - started >= 1.0 && moves >= 2 && last > 0 &&
                 !falling && destroyed > 0 && app > destroyed && boxes == 0
            if (!ok)
                printf "  created %d (%.2f s after the start), %d moves up to %d (%d falling), destroyed at %d, Tavrel.exe at %d, %d boxes\n", created, created_at - started, moves, last, falling, destroyed, app, boxes > "/dev/stderr"
            exit !ok
        }'
}
# A window needs a display: this run alone gets a virtual one (without, a box returns at once).
# Wine's desktop keeps the display of the session's first window, hence a new session on each side.
with_display() { # COMMAND...
    local number=$((90 + RANDOM % 100)) xvfb
    wineserver -k 2>/dev/null || true
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >"$case_dir/xvfb.log" 2>&1 &
    xvfb=$!
    for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$number" ] && break || sleep 0.05; done
    "$@" "DISPLAY=:$number"
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
}
row "big update, progress window" 'pack big_version "$archive" &&
    unpacked "$archive" "$case_dir/packed" && with_display run_update "$updater" 2.1.0' \
    0 - packed U removed progress_shown

# --- long paths: an installation path of about 200 characters and a package path of about 150,
# which Windows takes in the extended-length form only (Wine takes any length: this shows that
# the form is right, not that it is needed) ------------------------------------------------------
deep_file() { # at least CHARACTERS long
    local deepest
    deepest=$(find "$app" -name '*x.dat' -print -quit)
    ((${#deepest} >= $1)) || { echo "  deepest file: ${deepest:-(none)}" >&2 && false; }
}
long_app() { mkdir -p "$1" && mv "$app" "$1/$(long 7)" && app=$1/$(long 7); }
row "long paths" 'long_app "$case_dir/$(long 7)" && pack long_version "$archive" &&
    unpacked "$archive" "$case_dir/packed" && run_update "$updater" 2.1.0' \
    0 - packed U removed deep_file:330

# --- release pairs: the seeded pairs of the Linux property test (tests/release_pairs_test.cpp,
# TAVREL_WINE_RELEASE_PAIRS of them, 24 by default), each old release installed, the new one
# released by the Linux tavrel-release and judged by its check against the installation, then
# installed by tavrel-updater-test.exe. Lookups ignore case here: an installation is compared
# as Windows resolves its names, with the letters of the generated names folded -----------------
fold_names() { # the letters of the generated names, folded
    LC_ALL=C.UTF-8 sed 'y/ABCDEFGHIJKLMNOPQRSTUVWXYZÄÉΣŸÜÖ/abcdefghijklmnopqrstuvwxyzäéσÿüö/'
}
folded_files() { # DIRECTORY: "checksum name" lines, the names' letters folded
    (cd "$1" && find . -path './.tavrel-update-*' -prune -o -type f -exec md5sum {} + |
        fold_names | sort -k 2)
}
same_as_windows_sees() { diff <(folded_files "$1") <(folded_files "$2") >&2; }
with_windows_demo() { # TREE VERSION: Tavrel.exe of the tree as the Windows demo application
    cp "$updates/bin/demo-$2.0.exe" "$1/Tavrel.exe"
}
# A release that changes only the case of non-ASCII letters, of a file and of a folder: the
# new names' files after an accepted update, the old files after a rolled-back one, none lost.
umlaut_old() { put "$1" 2.0.3.0 "Ärger.dll" "old Ä" "Übersetzungen/de.txt" "alt"; }
umlaut_new() { put "$1" 2.1.0.0 "ärger.dll" "new ä" "übersetzungen/de.txt" "neu"; }
umlaut_case() { # the installation of umlaut_old, umlaut_new signed in the download
    pack umlaut_old "$case_dir/old.zip" && unpacked "$case_dir/old.zip" "$app" &&
        cp -a "$app" "$case_dir/before" && pack umlaut_new "$archive" &&
        unpacked "$archive" "$case_dir/packed"
}
same_as_packed() { same_as_windows_sees "$case_dir/packed" "$app"; }
same_as_before() { same_as_windows_sees "$case_dir/before" "$app"; }
holds() { # NAME TEXT: the file that Windows opens by NAME in the installation holds TEXT
    local want
    want="$(printf '%s' "$2" | md5sum | cut -d ' ' -f 1)  ./$(printf '%s' "$1" | fold_names)"
    folded_files "$app" | grep -qxF "$want"
}
row "non-ASCII case-only renames" 'umlaut_case && run_update "$updater" 2.1.0' 0 - - U removed \
    same_as_packed holds:ärger.dll:"new ä" holds:Übersetzungen/de.txt:neu written_through
row "non-ASCII case-only renames rolled back" 'umlaut_case && run_update "$test_updater" 2.1.0 \
    TAVREL_TEST_CONFIRMATION_MS=1500 TAVREL_DEMO_BEHAVIOUR=exit' 1 \
    "The updated application could not be launched." - UP kept same_as_before \
    holds:ÄRGER.DLL:"old Ä" holds:übersetzungen/de.txt:alt written_through

pairs_dir=$updates/pairs
rm -rf "$pairs_dir"
TAVREL_RELEASE_PAIRS=${TAVREL_WINE_RELEASE_PAIRS:-24} TAVREL_RELEASE_PAIRS_SEED=700 \
    TAVREL_RELEASE_PAIRS_WRITE="$pairs_dir" "$linux_build/tests/release_pairs_test" >/dev/null
pair_verdicts=()
for pair in "$pairs_dir"/*/; do
    pair=${pair%/}
    { read -r behaviour && read -r version && read -r user_file; } <"$pair/case"
    case_name="release pair $(basename "$pair")" case_dir=$pair app_win=
    app=$pair/app download=$pair/tavrel-download-1 start_log=$pair/starts.log
    archive=$download/update.zip
    with_windows_demo "$pair/old" 2.0.3 && with_windows_demo "$pair/new" "$version"
    "$linux_build/tools/tavrel-pack" "$pair/old" "$pair/old.zip" >/dev/null
    unpacked "$pair/old.zip" "$app"
    [ -z "$user_file" ] || printf "the user's" >"$app/$user_file"
    cp -a "$app" "$pair/before"
    "$linux_build/tools/tavrel-release" "$pair/new" "$pair/out" --key \
        "$repo/tests/keys/test_update.key" --version "$version" >/dev/null
    unpacked "$pair/out/update.zip" "$pair/released"
    [ -z "$user_file" ] || { mkdir -p "$(dirname "$pair/released/$user_file")" &&
        printf "the user's" >"$pair/released/$user_file"; }
    verdict=$("$linux_build/tools/tavrel-release" check "$pair/out" --public-key \
        "$(cat "$repo/tests/keys/test_update.pub")" --installed "$app") || true
    pair_verdicts+=("$verdict, $behaviour")
    mkdir -p "$download" && cp "$pair/out/update.zip" "$archive"
    signature=$(sed -n 's/.*"signature": "\(.*\)".*/\1/p' "$pair/out/update.json")
    size=$(stat -c %s "$archive")
    run_update "$test_updater" "$version" TAVREL_TEST_CONFIRMATION_MS=1500 \
        TAVREL_DEMO_BEHAVIOUR="$behaviour"
    if [ "$verdict" != accepted ]; then
        expect 1 "$verdict" - P kept no_staging same_as_windows_sees:"$pair/before":"$app"
    elif [ "$behaviour" = confirm ]; then
        expect 0 - - U removed no_staging same_as_windows_sees:"$pair/released":"$app"
    else
        expect 1 "The updated application could not be launched." - UP kept \
            no_staging same_as_windows_sees:"$pair/before":"$app"
    fi
done
printf '  release pairs: %s\n' "$(printf '%s\n' "${pair_verdicts[@]}" | sort | uniq -c |
    tr -s ' ' | paste -sd ';')"
