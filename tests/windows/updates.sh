# shellcheck shell=bash disable=SC2154 # the variables of tests/windows/run
# Whole updates under Wine: tavrel-updater.exe (and the test build tavrel-updater-test.exe)
# against the demo application, with the same trees and expectations as the Linux end-to-end
# tests. Sourced by tests/windows/run, whose variables and check functions it uses.
#
# Every run goes through tavrel-wine-driver, which plays the application: it starts the demo
# application as the parent that waits for "ready" and exits, starts the updater with that
# parent's Windows process id, and waits until the application that the updater started has
# ended, so that its start log is complete.

updates=$scratch/updates
mkdir -p "$updates/bin"
# Without its debugging information the demo application packs and unpacks six times faster.
"$mingw-strip" -o "$updates/bin/demo.exe" "$demo"
for version in 2.0.2.0 2.0.3.0 2.1.0.0; do
    "$linux_build/tools/tavrel-set-version" "$updates/bin/demo.exe" \
        "$updates/bin/demo-$version.exe" "$version" >/dev/null
done

# The two versions of the Linux tests: 2.1.0 replaces three files, adds one, removes one.
write_old_version() {
    mkdir -p "$1/data" "$1/plugins"
    cp "$updates/bin/demo-2.0.3.0.exe" "$1/Tavrel.exe"
    printf 'read me 2.0.3' >"$1/readme.txt"
    printf 'settings 2.0.3' >"$1/data/settings.dat"
    printf 'only in 2.0.3' >"$1/data/legacy.dat"
    printf 'plugin a 2.0.3' >"$1/plugins/a.dll"
}
write_new_version() {
    mkdir -p "$1/data" "$1/plugins/extra"
    cp "$updates/bin/demo-2.1.0.0.exe" "$1/Tavrel.exe"
    printf 'read me 2.1.0' >"$1/readme.txt"
    printf 'settings 2.1.0' >"$1/data/settings.dat"
    printf 'plugin a 2.1.0' >"$1/plugins/a.dll"
    printf 'plugin b, new in 2.1.0' >"$1/plugins/extra/b.dll"
}
write_downgrade() {
    mkdir -p "$1"
    cp "$updates/bin/demo-2.0.2.0.exe" "$1/Tavrel.exe"
}

# pack TREE_WRITER ARCHIVE: packs the tree with its package file manifest; sets `signature`
# and `size` from tavrel-sign.
pack() {
    local tree=$updates/tree
    rm -rf "$tree"
    "$1" "$tree"
    mkdir -p "$(dirname "$2")"
    "$linux_build/tools/tavrel-pack" "$tree" "$2" >/dev/null
    rm -rf "$tree"
    { read -r signature && read -r size; } < <("$linux_build/tools/tavrel-sign" sign \
        "$secret_key" "$2")
}

# What an installation of a version is: its package unpacked, manifest included.
unpack_version() { # TREE_WRITER DIRECTORY
    pack "$1" "$updates/installed.zip"
    rm -rf "$2"
    mkdir -p "$2"
    unzip -q "$updates/installed.zip" -d "$2"
    rm "$updates/installed.zip"
}
unpack_version write_old_version "$updates/reference-old"
unpack_version write_new_version "$updates/reference-new"

# new_case NAME: a fresh installation of 2.0.3 and a download directory with 2.1.0 signed.
new_case() {
    case_dir=$updates/$1
    app=$case_dir/app
    download=$case_dir/tavrel-download-1
    archive=$download/update.zip
    start_log=$case_dir/starts.log
    rm -rf "$case_dir"
    mkdir -p "$case_dir"
    cp -a "$updates/reference-old" "$app"
    pack write_new_version "$archive"
    echo "-- $1"
}

# run_driver [--cwd DIR] [VARIABLE=value...] -- PROGRAM [ARGUMENT...]: one run with the
# parent; sets `code` (the program's exit code) and `boxes` (its message boxes, one a line).
run_driver() {
    local options=() environment=()
    if [ "$1" = --cwd ]; then
        options=(--cwd "$(winpath "$2")")
        shift 2
    fi
    while [[ $1 == --hold-* ]]; do # the driver's own options, as they are
        options+=("$1")
        shift
        while [[ $1 != --* && $1 != -- && $1 != *=* ]]; do
            options+=("$1")
            shift
        done
    done
    while [ "$1" != -- ]; do
        environment+=("$1")
        shift
    done
    shift
    local program=$1
    shift
    code=0
    (cd "$case_dir" && env WINEDEBUG=-all,+timestamp,+relay TAVREL_DEMO_LOG="$(winpath "$start_log")" \
        TAVREL_DEMO_LIFETIME_MS=300 TAVREL_DEMO_HANG_MS=5000 "${environment[@]}" \
        wine "$driver" --timeout 90000 --wait-for Tavrel.exe "${options[@]}" \
        "$(winpath "$demo")" "$(winpath "$download")" "$(winpath "$program")" "$@") \
        >"$case_dir/driver.out" 2>"$case_dir/driver.err" || code=$?
    boxes=$(message_boxes "$case_dir/driver.err")
}

# run_update UPDATER VERSION [VARIABLE=value...]: the update of `archive` to VERSION.
run_update() {
    local program=$1 version=$2
    shift 2
    run_driver "$@" -- "$program" '{pid}' "$(winpath "$app")" "$(winpath "$archive")" \
        "$signature" "$size" "$version"
}

# The MessageBoxW calls in Wine's relay trace, one a line, texts as Wine escapes them:
#   Call user32.MessageBoxW(00000000,00c94540 L"text",140108458 L"Tavrel Update",00000010) ret=...
message_boxes() {
    local call='^.*Call user32\.MessageBoxW\(([0-9a-f]+),[0-9a-f]+ L"(.*)",[0-9a-f]+ L"(.*)",'
    call+='([0-9a-f]+)\) ret=.*$'
    grep -a 'Call user32\.MessageBoxW(' "$1" |
        sed -E "s/$call/owner \\1, flags \\4, caption \"\\3\", text \"\\2\"/" || true
}

# --- expectations ----------------------------------------------------------------------------
exit_code_is() {
    [ "$code" = "$1" ] || {
        echo "  exit code $code, expected $1" >&2
        return 1
    }
}
# Exactly one message box: no owner, error icon and OK button, the caption and the text.
message_box_is() {
    local expected="owner 00000000, flags 00000010, caption \"Tavrel Update\", text \"$1\""
    [ "$boxes" = "$expected" ] || {
        printf '  message boxes:\n%s\n  expected:\n%s\n' "${boxes:-(none)}" "$expected" >&2
        return 1
    }
}
no_message_box() {
    [ -z "$boxes" ] || {
        printf '  message boxes:\n%s\n' "$boxes" >&2
        return 1
    }
}
# The same entries with the same bytes (directories included).
same_tree() { diff -r "$1" "$2" >&2; }
# The same regular files with the same bytes; directories that an undo emptied do not count,
# nor does a staging directory (whether one is left is checked on its own).
file_list() {
    (cd "$1" && find . -path './.tavrel-update-*' -prune -o -type f -exec md5sum {} + |
        sort -k 2)
}
same_files() {
    [ "$(file_list "$1")" = "$(file_list "$2")" ] || {
        diff <(file_list "$1") <(file_list "$2") >&2
        return 1
    }
}
no_staging_directory() { ! compgen -G "$app/.tavrel-update-*" >/dev/null; }
has_staging_directory() { compgen -G "$app/.tavrel-update-*" >/dev/null; }
# The application's starts, one a line: "start <arguments>|<working directory>".
starts() { if [ -f "$start_log" ]; then tr -d '\r' <"$start_log"; fi; }
start_count_is() {
    local count
    count=$(starts | grep -c . || true)
    [ "$count" = "$1" ] || {
        printf '  %s starts, expected %s:\n%s\n' "$count" "$1" "$(starts)" >&2
        return 1
    }
}
start_is() { # line number, expected line
    local line
    line=$(starts | sed -n "$1p")
    [ "$line" = "$2" ] || {
        printf '  start %s: %s\n  expected: %s\n' "$1" "$line" "$2" >&2
        return 1
    }
}
updated_start_is_first() {
    local first
    first=$(starts | sed -n 1p)
    local prefix="start --disable-splash --tavrel-update-event=Local\\TavrelUpdate-"
    [[ $first == "$prefix"*"|$(winpath "$app")" ]] || {
        echo "  first start: $first" >&2
        return 1
    }
}
installed_version_is() {
    local got
    got=$(wine "$demo" version "$(winpath "$app/Tavrel.exe")" | tr -d '\r')
    [ "$got" = "$1" ] || {
        echo "  installed version $got, expected $1" >&2
        return 1
    }
}
restarted() { start_is 1 "start --disable-splash|$(winpath "$app")"; }

# --- a) the update is installed --------------------------------------------------------------
new_case installs
run_update "$updater" 2.1.0
check "update: exit code 0" exit_code_is 0
check "update: no message box" no_message_box
check "update: files replaced, added and removed (manifest included)" \
    same_tree "$updates/reference-new" "$app"
check "update: data/legacy.dat is gone" test ! -e "$app/data/legacy.dat"
check "update: no staging directory is left" no_staging_directory
check "update: the download directory is removed" test ! -e "$download"
check "update: the application was started once" start_count_is 1
check "update: with the startup event, in its directory" updated_start_is_first
check "update: Tavrel.exe is 2.1.0" installed_version_is 2.1.0

# --- b) an application that does not confirm its start is rolled back ------------------------
for behaviour in exit hang; do
    new_case "rollback-$behaviour"
    if [ "$behaviour" = exit ]; then
        run_update "$updater" 2.1.0 TAVREL_DEMO_BEHAVIOUR=exit
    else # the test build waits 1.5 s for the confirmation instead of 60 s
        run_update "$test_updater" 2.1.0 TAVREL_DEMO_BEHAVIOUR=hang TAVREL_TEST_CONFIRMATION_MS=1500
    fi
    check "rollback ($behaviour): exit code 1" exit_code_is 1
    check "rollback ($behaviour): message box" \
        message_box_is "The updated application could not be launched."
    check "rollback ($behaviour): every file is back, added files are gone" \
        same_files "$updates/reference-old" "$app"
    check "rollback ($behaviour): no staging directory is left" no_staging_directory
    check "rollback ($behaviour): the download stays for another try" test -f "$archive"
    check "rollback ($behaviour): two starts" start_count_is 2
    check "rollback ($behaviour): first the updated application" updated_start_is_first
    check "rollback ($behaviour): then the previous one" \
        start_is 2 "start --disable-splash|$(winpath "$app")"
    check "rollback ($behaviour): Tavrel.exe is 2.0.3" installed_version_is 2.0.3
done

# --- c) refusals after the application has exited: nothing changes, it is started again -----
refusal() { # name, message, version; `signature` may have been changed
    local name=$1 message=$2 version=$3
    run_update "$updater" "$version"
    check "$name: exit code 1" exit_code_is 1
    check "$name: message box" message_box_is "$message"
    check "$name: the installation is unchanged" same_tree "$updates/reference-old" "$app"
    check "$name: the download stays" test -f "$archive"
    check "$name: the previous application is started again" restarted
    check "$name: and only that" start_count_is 1
}
new_case bad-signature
printf '\1\2\3' >"$case_dir/other.bin" # a real signature, of other bytes
signature=$("$linux_build/tools/tavrel-sign" sign "$secret_key" "$case_dir/other.bin" | sed -n 1p)
refusal "bad signature" \
    "The update signature could not be verified. No installed files were changed." 2.1.0
new_case version-mismatch
refusal "version mismatch" \
    "The signed update version does not match the feed or would downgrade Tavrel." 2.2.0
new_case downgrade
pack write_downgrade "$archive"
refusal "downgrade" \
    "The signed update version does not match the feed or would downgrade Tavrel." 2.0.2

# A failure before the application has exited shows the box and starts nothing.
new_case invalid-version
run_update "$updater" 2.1
check "invalid requested version: exit code 1" exit_code_is 1
check "invalid requested version: message box" \
    message_box_is "The requested update version is invalid."
check "invalid requested version: the installation is unchanged" \
    same_tree "$updates/reference-old" "$app"
check "invalid requested version: nothing is started" start_count_is 0

# --- d) rejected command lines: exit code 2, nothing shown, nothing changed ------------------
new_case rejections
mkdir -p "$case_dir/tavrel-download-2" "$case_dir/download-1"
cp "$archive" "$case_dir/tavrel-download-2/Update.zip"
cp "$archive" "$case_dir/download-1/update.zip"
rejected() { # name, then the driver's arguments after the parent
    local name=$1
    shift
    run_driver "$@"
    check "rejected, $name: exit code 2" exit_code_is 2
    check "rejected, $name: no message box" no_message_box
    check "rejected, $name: the installation is unchanged" same_tree "$updates/reference-old" "$app"
    check "rejected, $name: nothing is started" start_count_is 0
    check "rejected, $name: no ready marker" test ! -e "$download/ready"
}
win_app=$(winpath "$app")
win_archive=$(winpath "$archive")
rejected "no arguments" -- "$updater"
rejected "parent process id 0" -- "$updater" 0 "$win_app" "$win_archive" "$signature" "$size" 2.1.0
rejected "parent process id with a letter after it" \
    -- "$updater" 42x "$win_app" "$win_archive" "$signature" "$size" 2.1.0
rejected "archive named Update.zip" -- "$updater" '{pid}' "$win_app" \
    "$(winpath "$case_dir/tavrel-download-2/Update.zip")" "$signature" "$size" 2.1.0
rejected "download directory without the prefix" -- "$updater" '{pid}' "$win_app" \
    "$(winpath "$case_dir/download-1/update.zip")" "$signature" "$size" 2.1.0
rejected "signature of 87 characters" \
    -- "$updater" '{pid}' "$win_app" "$win_archive" "${signature:0:87}" "$size" 2.1.0
rejected "size 0" -- "$updater" '{pid}' "$win_app" "$win_archive" "$signature" 0 2.1.0
rejected "size 536870913" \
    -- "$updater" '{pid}' "$win_app" "$win_archive" "$signature" 536870913 2.1.0
rejected "--RECOVER in capitals" --cwd "$download" -- "$updater" '{pid}' "$win_app" --RECOVER
rejected "recovery in a directory without the prefix" \
    --cwd "$case_dir" -- "$updater" '{pid}' "$win_app" --recover

# --- e) an interrupted update is undone by --recover, and by the next update -----------------
new_case recovery
# The number of the file-system change at which the 5th rename happens in a complete update.
run_update "$test_updater" 2.1.0 TAVREL_CHANGE_LOG="$(winpath "$case_dir/changes.log")"
crash_point=$(tr -d '\r' <"$case_dir/changes.log" | awk '$2 == "rename" && ++n == 5 { print $1 }')
check "recovery: the complete update logs its changes" test -n "$crash_point"
rm -rf "$app" "$start_log"
cp -a "$updates/reference-old" "$app"
pack write_new_version "$archive"

crash() {
    run_update "$test_updater" 2.1.0 TAVREL_CRASH_AFTER_CHANGE="${crash_point:-1}"
    check "recovery: the updater stops after change $crash_point (exit code 86)" exit_code_is 86
    check "recovery: the staging directory is left" has_staging_directory
    check "recovery: the crash falls inside the moves" \
        test "$(file_list "$app")" != "$(file_list "$updates/reference-old")"
}
crash
rm -f "$start_log"
run_driver --cwd "$download" -- "$updater" '{pid}' "$(winpath "$app")" --recover
check "recovery: --recover ends with exit code 0" exit_code_is 0
check "recovery: no message box" no_message_box
check "recovery: every file of 2.0.3 is back" same_files "$updates/reference-old" "$app"
check "recovery: no staging directory is left" no_staging_directory
check "recovery: the restored application is started" restarted
check "recovery: the download directory stays" test -f "$archive"

crash
rm -f "$start_log"
run_update "$updater" 2.1.0
check "recovery then update: exit code 0" exit_code_is 0
check "recovery then update: the files of 2.1.0" same_files "$updates/reference-new" "$app"
check "recovery then update: no staging directory is left" no_staging_directory
check "recovery then update: the updated application confirmed" updated_start_is_first

# --- f) the application side starts the updater from paths with blanks and backslashes ----------
# tavrel-demo-app starts tavrel-updater.exe through the protocol library and leaves; the
# updater must receive the installation directory as the application wrote it.
updated_start_in() { # the Windows directory that the updated application started in
    local first
    first=$(starts | sed -n 1p)
    [[ $first == "start --disable-splash --tavrel-update-event=Local\\TavrelUpdate-"* &&
        ${first##*|} == "$1" ]] || {
        printf '  first start: %s\n  expected in: %s\n' "$first" "$1" >&2
        return 1
    }
}
app_side_update() { # name, Linux directory of the installation, the Windows form passed
    local name=$1 directory=$2 win_directory=$3
    new_case "$name"
    rm -rf "$directory"
    mkdir -p "$(dirname "$directory")"
    mv "$app" "$directory"
    app=$directory
    code=0
    (cd "$case_dir" && env WINEDEBUG=-all,+timestamp,+relay TAVREL_DEMO_LOG="$(winpath "$start_log")" \
        TAVREL_DEMO_LIFETIME_MS=300 wine "$driver" --timeout 90000 \
        --wait-for tavrel-updater.exe --wait-for Tavrel.exe "$(winpath "$demo")" \
        "$(winpath "$download")" "$(winpath "$demo")" update "$(winpath "$updater")" \
        "$win_directory" "$(winpath "$archive")" "$signature" "$size" 2.1.0) \
        >"$case_dir/driver.out" 2>"$case_dir/driver.err" || code=$?
    boxes=$(message_boxes "$case_dir/driver.err")
    local started=${win_directory%\\}
    check "$name: the application's updater got ready" exit_code_is 0
    check "$name: no message box" no_message_box
    check "$name: the update is installed" same_tree "$updates/reference-new" "$app"
    check "$name: the updated application confirmed, in its directory" \
        updated_start_in "$started"
    check "$name: the download directory is removed" test ! -e "$download"
}
app_side_update "program files" "$WINEPREFIX/drive_c/Program Files/Tavrel" \
    'C:\Program Files\Tavrel\'
app_side_update "two blanks" "$updates/two blanks/two  blanks" \
    "$(winpath "$updates/two blanks/two  blanks")\\"

# --- g) a message box shows the path as it is named, accents and CJK included ----------------
new_case unicode
download="$case_dir/José 中文/tavrel-download-1"
mkdir -p "$download"
archive=$download/update.zip # not there: "canonical" names it in the message
run_update "$updater" 2.1.0
check "unicode path: exit code 1" exit_code_is 1
box_shows() {
    grep -qF "$1" <<<"$boxes" || {
        printf '  message boxes:\n%s\n  expected a text with: %s\n' "${boxes:-(none)}" "$1" >&2
        return 1
    }
}
check "unicode path: the box shows the decoded name" \
    box_shows 'Jos\00e9 \4e2d\6587\\tavrel-download-1\\update.zip'
no_widened_bytes() { ! grep -qiF '\ff' <<<"$boxes"; } # Wine writes U+FFC3 as \ffc3
check "unicode path: no byte widened on its own" no_widened_bytes

# --- h) files held by another program for a while --------------------------------------------
# A helper holds one file as a virus scanner does (no sharing for delete or rename). Held for
# a moment, the updater waits and the update succeeds; held beyond the 10 s that one operation
# may wait, the rename fails as before and the update is rolled back.
renames_of() { # how often MoveFileExW was asked to move a file of this name
    grep -a 'Call KERNEL32.MoveFileExW(' "$case_dir/driver.err" | grep -c -F "\\$1\"" || true
}
retried() { # the file's rename was tried more than once
    local count
    count=$(renames_of "$1")
    [ "$count" -gt 1 ] || {
        echo "  $count rename attempts of $1" >&2
        return 1
    }
}
held_update() { # name, "installed" or "staged", how long in ms after it was needed
    new_case "$1"
    local hold=(--hold-installed "$(winpath "$app/readme.txt")" "$3")
    [ "$2" = staged ] && hold=(--hold-staged "$(winpath "$app")" readme.txt "$3")
    run_driver "${hold[@]}" -- "$updater" '{pid}' "$(winpath "$app")" "$(winpath "$archive")" \
        "$signature" "$size" 2.1.0
}
held_update held-installed-briefly installed 1500
check "installed file held 1.5 s: exit code 0" exit_code_is 0
check "installed file held 1.5 s: no message box" no_message_box
check "installed file held 1.5 s: the rename was retried" retried readme.txt
check "installed file held 1.5 s: the update is installed" same_tree "$updates/reference-new" "$app"
check "installed file held 1.5 s: the updated application confirmed" updated_start_is_first

held_update held-installed-for-long installed 13000
check "installed file held 13 s: exit code 1" exit_code_is 1
box_names_rename() { # the specified rename failure, naming the held file
    [[ $boxes == *'text "rename: '*'readme.txt\", \"'*'\\old\\readme.txt\""' ]] || {
        printf '  message boxes:\n%s\n' "${boxes:-(none)}" >&2
        return 1
    }
}
check "installed file held 13 s: the rename failure is shown" box_names_rename
check "installed file held 13 s: the previous files are back" same_files "$updates/reference-old" "$app"
check "installed file held 13 s: no staging directory is left" no_staging_directory
check "installed file held 13 s: the previous application is started again" restarted

held_update held-staged-briefly staged 1500
check "staged file held 1.5 s: exit code 0" exit_code_is 0
check "staged file held 1.5 s: the rename was retried" retried readme.txt
check "staged file held 1.5 s: the update is installed" same_tree "$updates/reference-new" "$app"

held_update held-staged-for-long staged 13000
check "staged file held 13 s: exit code 1" exit_code_is 1
check "staged file held 13 s: the rename failure is shown" \
    box_shows 'rename: '
check "staged file held 13 s: the previous files are back" same_files "$updates/reference-old" "$app"
check "staged file held 13 s: no staging directory is left" no_staging_directory

# --- i) the progress window ------------------------------------------------------------------
# The relay trace, with timestamps, of a run: the window's class, its creation after the
# application exited, its bar, its destruction, the start of Tavrel.exe and any message box.
trace_events() {
    grep -a -E 'Call user32\.(CreateWindowExW|DestroyWindow|SendMessageW|MessageBoxW)\(|Call KERNEL32\.CreateProcessW\(' \
        "$case_dir/driver.err" || true
}
window_created() { trace_events | grep -c 'L"TavrelUpdateProgress"' || true; }
no_progress_window() {
    [ "$(window_created)" = 0 ] || {
        echo "  a progress window was created" >&2
        return 1
    }
}
# For the big update: created once, at least a second after the updater was started, its bar
# rising; destroyed before Tavrel.exe starts; no message box. Trace lines begin with
# "seconds:thread:"; the window's own thread makes its calls.
progress_window_shown_in_order() {
    trace_events | awk -v updater="$(basename "$updater")" '
        function hex(text,    n, i) {
            n = 0
            for (i = 1; i <= length(text); i++)
                n = n * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
            return n
        }
        { split($0, field, ":"); time = field[1] + 0; thread = field[2] }
        /CreateProcessW\(/ && index($0, updater) && !started { started = time }
        /CreateWindowExW\(/ && /L"TavrelUpdateProgress"/ { created++; created_at = time; owner = thread }
        /SendMessageW\([0-9a-f]+,00000402,/ && thread == owner && !destroyed {
            match($0, /00000402,[0-9a-f]+/)
            value = hex(substr($0, RSTART + 9, RLENGTH - 9))
            if (value < last) falling = 1
            last = value
            moves++
        }
        /DestroyWindow\(/ && thread == owner && created && !destroyed { destroyed = NR }
        /CreateProcessW\(/ && /Tavrel\.exe"/ && !app { app = NR }
        /MessageBoxW\(/ { boxes++ }
        END {
            ok = created == 1 && created_at - started >= 1.0 && moves >= 2 && last > 0 &&
                 !falling && destroyed > 0 && app > destroyed && boxes == 0
            if (!ok)
                printf "  created %d (%.2f s after the start), %d moves up to %d%s, destroyed at %d, Tavrel.exe at %d, %d boxes\n", created, created_at - started, moves, last, falling ? " (falling)" : "", destroyed, app, boxes > "/dev/stderr"
            exit !ok
        }'
}

write_big_version() { # 2.1.0 with 1,500 more files, 12 MiB that do not compress
    write_new_version "$1"
    mkdir -p "$1/big"
    head -c $((1500 * 8192)) /dev/urandom | split -b 8192 -a 4 - "$1/big/file-"
}
# A window needs a display: this run gets a virtual one (the others have none, so that a
# message box returns at once).
new_case progress-window
pack write_big_version "$archive"
display_number=$((90 + RANDOM % 100))
Xvfb ":$display_number" -screen 0 1024x768x24 -nolisten tcp >"$case_dir/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$display_number" ] && break
    sleep 0.05
done
run_update "$updater" 2.1.0 DISPLAY=":$display_number"
kill "$xvfb" 2>/dev/null || true
wait "$xvfb" 2>/dev/null || true
check "big update: exit code 0" exit_code_is 0
check "big update: the window came after a second, moved, and went before Tavrel.exe" \
    progress_window_shown_in_order
new_case no-progress-window
run_update "$updater" 2.1.0
check "small update: exit code 0" exit_code_is 0
check "small update: no progress window" no_progress_window
new_case refusal-without-window
run_update "$updater" 2.2.0
check "refusal: exit code 1" exit_code_is 1
check "refusal: no progress window" no_progress_window

# --- j) long paths ---------------------------------------------------------------------------
# An installation path of about 200 characters and a package path of about 150: 350 in all,
# which Windows takes in the extended-length form only (Wine takes any length, so this shows
# that the form is right, not that it is needed).
long_segment() { printf '%s' "$(printf 'segment-%02d-' $(seq 1 "$1"))"; }
write_long_version() {
    write_new_version "$1"
    mkdir -p "$1/$(long_segment 5)/$(long_segment 5)"
    printf 'deep' >"$1/$(long_segment 5)/$(long_segment 5)/$(long_segment 4)x.dat"
}
new_case long-paths
long_app="$case_dir/$(long_segment 7)/$(long_segment 7)"
mkdir -p "$(dirname "$long_app")"
mv "$app" "$long_app"
app=$long_app
pack write_long_version "$archive"
run_update "$updater" 2.1.0
path_lengths_ok() {
    local deepest
    deepest=$(find "$app" -name '*x.dat' -printf '%p\n' | head -n 1)
    [ -n "$deepest" ] && [ "${#deepest}" -ge 330 ] || {
        echo "  deepest file: ${deepest:-(none)} (${#deepest} characters)" >&2
        return 1
    }
}
check "long paths: exit code 0" exit_code_is 0
check "long paths: no message box" no_message_box
check "long paths: the deep file is installed, its path over 330 characters" path_lengths_ok
check "long paths: the updated application confirmed" updated_start_is_first
