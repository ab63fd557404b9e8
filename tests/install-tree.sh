#!/bin/sh
# Checks what an installation puts where, in one of two ways:
#   install-tree.sh tree BUILD_DIR PROGRAM...
#       cmake --install into a temporary prefix, then the tree, and the
#       installed program started on the offscreen platform;
#   install-tree.sh deb BUILD_DIR PROGRAM...
#       cpack -G DEB into a temporary directory, then the package's fields,
#       maintainer scripts and file list, and the tree it unpacks to.
# PROGRAM... are the executables that belong in bin/ (empty arguments are
# ignored). Exits non-zero when anything is missing, misplaced or extra.
set -eu

mode=$1
build=$2
shift 2
programs=
for program in "$@"; do
    [ -n "$program" ] && programs="$programs $program"
done

icon_sizes="16 22 24 32 48 64 128 256"
rule=lib/udev/rules.d/60-lumora-configurator.rules
desktop=share/applications/lumora-configurator.desktop
svg=share/icons/hicolor/scalable/apps/lumora-configurator.svg
metainfo=share/metainfo/io.github.lumora.Configurator.metainfo.xml
completion=share/bash-completion/completions/lumora-flash
doc=share/doc/lumora-configurator

work=$(mktemp -d "${TMPDIR:-/tmp}/lumora-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Every file of an installation, relative to its prefix, sorted.
expected_files() {
    for program in $programs; do
        echo "bin/$program"
        echo "share/man/man1/$program.1.gz"
    done
    case " $programs " in *" lumora-flash "*) echo "$completion" ;; esac
    echo "$rule"
    echo "$metainfo"
    echo "$doc/copyright"
    echo "$doc/changelog.gz"
    echo "$desktop"
    for size in $icon_sizes; do
        echo "share/icons/hicolor/${size}x${size}/apps/lumora-configurator.png"
    done
    echo "$svg"
}

# True when the gzip file $1 keeps no file name and no time stamp inside
# (gzip -9n), so that every build makes the same bytes.
gzip_without_name_or_time() {
    # shellcheck disable=SC2046 # one argument per byte
    set -- $(od -An -tu1 -N8 "$1")
    [ "$#" -eq 8 ] && [ "$1 $2" = "31 139" ] && [ $(($4 & 8)) -eq 0 ] && [ "$5 $6 $7 $8" = "0 0 0 0" ]
}

# The version of the newest entry of a Debian changelog compressed with gzip.
changelog_version() {
    gzip -dc "$1" 2>/dev/null | sed -n '1s/^[a-z0-9.+-]* (\([^)]*\)) .*/\1/p'
}

# Width and height of a PNG, from its IHDR chunk: "W H".
png_size() {
    # shellcheck disable=SC2046 # one argument per byte
    set -- $(od -An -tu1 -j12 -N12 "$1")
    # "IHDR" must follow the signature and the chunk length.
    if [ "$#" -ne 12 ] || [ "$1 $2 $3 $4" != "73 72 68 82" ]; then
        echo "not a PNG"
        return
    fi
    echo "$(( ($5 << 24) | ($6 << 16) | ($7 << 8) | $8 )) $(( ($9 << 24) | (${10} << 16) | (${11} << 8) | ${12} ))"
}

check_tree() {
    root=$1
    expected_files >"$work/expected"
    (cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >"$work/installed"
    LC_ALL=C sort -o "$work/expected" "$work/expected"
    if cmp -s "$work/expected" "$work/installed"; then
        pass "installed files are exactly the expected $(wc -l <"$work/expected")"
    else
        fail "installed files differ from the expected ones (- expected, + installed):"
        diff -u "$work/expected" "$work/installed" | sed -n '3,$p'
    fi

    for program in $programs; do
        if [ -f "$root/bin/$program" ] && [ -x "$root/bin/$program" ]; then
            pass "bin/$program is executable"
        else
            fail "bin/$program is missing or not executable"
        fi
    done

    for pattern in 'SUBSYSTEM=="usb"' 'ATTR{idVendor}=="0403"' 'TAG+="uaccess"' 'GROUP="plugdev"' 'MODE="0660"'; do
        if grep -v '^#' "$root/$rule" 2>/dev/null | grep -qF "$pattern"; then
            pass "udev rule has $pattern"
        else
            fail "udev rule lacks $pattern"
        fi
    done

    if [ ! -f "$root/$desktop" ]; then
        fail "$desktop is missing"
    else
        for line in 'Exec=lumora-configurator' 'Icon=lumora-configurator' 'Type=Application'; do
            if grep -qx "$line" "$root/$desktop"; then
                pass "desktop entry has $line"
            else
                fail "desktop entry lacks $line"
            fi
        done
        if command -v desktop-file-validate >/dev/null 2>&1; then
            if report=$(desktop-file-validate "$root/$desktop" 2>&1) && [ -z "$report" ]; then
                pass "desktop-file-validate accepts the desktop entry"
            else
                fail "desktop-file-validate: $report"
            fi
        else
            echo "skipped: desktop-file-validate not found (Debian package desktop-file-utils)"
        fi
    fi

    for size in $icon_sizes; do
        png=share/icons/hicolor/${size}x${size}/apps/lumora-configurator.png
        if [ ! -f "$root/$png" ]; then
            fail "$png is missing"
            continue
        fi
        actual=$(png_size "$root/$png")
        if [ "$actual" = "$size $size" ]; then
            pass "$png is $size x $size"
        else
            fail "$png is $actual, not $size x $size"
        fi
    done

    if grep -q '<svg' "$root/$svg" 2>/dev/null; then
        pass "$svg is an SVG"
    else
        fail "$svg is missing or not an SVG"
    fi

    if grep -qF "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$root/$metainfo" 2>/dev/null; then
        pass "the metainfo launches $(basename "$desktop")"
    else
        fail "$metainfo is missing or does not launch $(basename "$desktop")"
    fi
    if command -v appstreamcli >/dev/null 2>&1; then
        if report=$(appstreamcli validate --no-net "$root/$metainfo" 2>&1) &&
            ! echo "$report" | grep -q '^[EW]:'; then
            pass "appstreamcli validate accepts the metainfo"
        else
            fail "appstreamcli validate: $report"
        fi
    else
        echo "skipped: appstreamcli not found (Debian package appstream)"
    fi

    if head -n 1 "$root/$doc/copyright" 2>/dev/null |
        grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'; then
        pass "$doc/copyright is in the machine-readable format"
    else
        fail "$doc/copyright is missing or not in the machine-readable format"
    fi
    # The newest changelog entry, the newest release of the metainfo and
    # what each program says with --version name one version.
    version=$(changelog_version "$root/$doc/changelog.gz")
    if [ -n "$version" ]; then
        pass "$doc/changelog.gz is at version $version"
    else
        fail "$doc/changelog.gz is missing or has no version line"
    fi
    if grep -q "<release version=\"$version\"" "$root/$metainfo" 2>/dev/null &&
        [ "$(grep -m1 -o '<release version="[^"]*"' "$root/$metainfo")" = "<release version=\"$version\"" ]; then
        pass "the metainfo's newest release is $version"
    else
        fail "the metainfo's newest release is not the changelog's $version"
    fi

    for page in $doc/changelog.gz $(for program in $programs; do echo "share/man/man1/$program.1.gz"; done); do
        if gzip -t "$root/$page" 2>/dev/null && gzip_without_name_or_time "$root/$page"; then
            pass "$page is compressed with no name or time stamp"
        else
            fail "$page is missing, broken, or keeps a name or time stamp"
        fi
    done

    for program in $programs; do
        page=$root/share/man/man1/$program.1.gz
        [ -f "$page" ] || continue
        # man(1) and groff warn of what would render wrongly: any word fails.
        if command -v groff >/dev/null 2>&1 && command -v man >/dev/null 2>&1; then
            report=$( (gzip -dc "$page" | groff -ww -z -man -Tutf8) 2>&1
                LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
            if [ -z "$report" ]; then
                pass "$program.1 renders without a warning"
            else
                fail "$program.1 renders with warnings: $report"
            fi
        else
            echo "skipped: groff or man not found (Debian packages groff-base, man-db)"
        fi
        # Every long option of --help, and its --version.
        help=$(QT_QPA_PLATFORM=offscreen "$root/bin/$program" --help 2>&1)
        missing=
        for option in $(echo "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
            gzip -dc "$page" | grep -qF -- "$(echo "$option" | sed 's/-/\\-/g')" || missing="$missing $option"
        done
        if [ -z "$missing" ]; then
            pass "$program.1 describes every option of --help"
        else
            fail "$program.1 lacks$missing"
        fi
        if echo "$help" | grep -q -- '--version'; then
            shown=$(QT_QPA_PLATFORM=offscreen "$root/bin/$program" --version 2>&1 | head -n 1)
            if [ "$shown" = "$program $version" ]; then
                pass "$program --version: $shown"
            else
                fail "$program --version says '$shown', not '$program $version'"
            fi
        else
            echo "skipped: $program has no --version"
        fi
    done
}

case $mode in
tree)
    prefix=$work/prefix
    if cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
        pass "cmake --install into a temporary prefix"
        check_tree "$prefix"
    else
        cat "$work/install.log"
        fail "cmake --install failed"
    fi
    # The installed copy must start by itself: no path back into the build
    # tree, its resources inside. 124 is timeout's own status: still running.
    status=0
    QT_QPA_PLATFORM=offscreen LUMORA_EMULATOR=0 timeout 2 "$prefix/bin/lumora-configurator" \
        >"$work/run.log" 2>&1 || status=$?
    if [ "$status" -eq 124 ]; then
        pass "installed lumora-configurator starts and keeps running"
    else
        cat "$work/run.log"
        fail "installed lumora-configurator ended with status $status"
    fi
    ;;
deb)
    if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1; then
        pass "cpack -G DEB"
    else
        cat "$work/cpack.log"
        fail "cpack -G DEB failed"
    fi
    set -- "$work"/pkg/lumora-configurator_*.deb
    deb=$1
    if [ "$#" -ne 1 ] || [ ! -f "$deb" ]; then
        fail "expected one lumora-configurator_*.deb, found: $*"
    else
        pass "built $(basename "$deb")"

        if [ "$(dpkg-deb --field "$deb" Package)" = lumora-configurator ]; then
            pass "Package: lumora-configurator"
        else
            fail "Package is '$(dpkg-deb --field "$deb" Package)'"
        fi
        for field in Version Maintainer Section Description; do
            if [ -n "$(dpkg-deb --field "$deb" "$field")" ]; then
                pass "$field is set"
            else
                fail "$field is empty"
            fi
        done

        dpkg-deb --info "$deb" >"$work/info"
        depends=$(sed -n 's/^ Depends: //p' "$work/info")
        echo "Depends: $depends"
        for package in libqt5widgets5 libqt5gui5 libqt5core5a libftdi1-2 libusb-1.0-0 libpq5 libsqlite3-0 libc6 libstdc++6; do
            if echo ", $depends" | grep -q "[,|] *$package\( (\|,\|$\)"; then
                pass "Depends names $package"
            else
                fail "Depends lacks $package"
            fi
        done

        dpkg-deb --control "$deb" "$work/control"
        for script in postinst postrm; do
            if [ -x "$work/control/$script" ] &&
                grep -qF 'udevadm control --reload-rules' "$work/control/$script" &&
                grep -qF 'udevadm trigger --subsystem-match=usb --attr-match=idVendor=0403' "$work/control/$script"; then
                pass "$script reloads the udev rules"
            else
                fail "$script is missing, not executable or does not reload the udev rules"
            fi
        done
        # The scripts must call udevadm when there is one, and must not fail
        # where udev is missing or not running: once with no udevadm at all,
        # once with one whose trigger fails.
        mkdir -p "$work/nobin" "$work/failbin"
        # shellcheck disable=SC2016 # expanded by the fake udevadm
        printf '#!/bin/sh\necho "$*" >>"%s"\n[ "$1" = control ]\n' "$work/udevadm.calls" >"$work/failbin/udevadm"
        chmod +x "$work/failbin/udevadm"
        for bin in nobin failbin; do
            case $bin in nobin) what="no udevadm" ;; *) what="a failing udevadm trigger" ;; esac
            if PATH=$work/$bin:/nonexistent /bin/sh "$work/control/postinst" configure >/dev/null 2>&1 &&
                PATH=$work/$bin:/nonexistent /bin/sh "$work/control/postrm" remove >/dev/null 2>&1; then
                pass "postinst and postrm succeed with $what"
            else
                fail "postinst or postrm fails with $what"
            fi
        done
        calls=$(grep -c -x -e 'control --reload-rules' -e 'trigger --subsystem-match=usb --attr-match=idVendor=0403' \
            "$work/udevadm.calls" 2>/dev/null || true)
        if [ "$calls" = 4 ]; then
            pass "postinst and postrm each ran udevadm control and trigger"
        else
            fail "postinst and postrm ran $calls of the 4 expected udevadm calls"
        fi

        dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort >"$work/contents"
        expected_files | sed 's|^|./usr/|' | LC_ALL=C sort >"$work/expected-contents"
        if cmp -s "$work/expected-contents" "$work/contents"; then
            pass "dpkg-deb --contents lists exactly the expected files under /usr"
        else
            fail "dpkg-deb --contents differs (- expected, + in the package):"
            diff -u "$work/expected-contents" "$work/contents" | sed -n '3,$p'
        fi

        dpkg-deb --extract "$deb" "$work/root"
        check_tree "$work/root/usr"

        if [ "$(dpkg-deb --field "$deb" Version)" = "$version" ]; then
            pass "the package's Version is the changelog's $version"
        else
            fail "the package's Version is '$(dpkg-deb --field "$deb" Version)', the changelog's '$version'"
        fi
        # Any error or warning of lintian fails; its notes are shown.
        if command -v lintian >/dev/null 2>&1; then
            status=0
            lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || status=$?
            grep -v '^running with root privileges' "$work/lintian" || true
            if [ "$status" -eq 0 ]; then
                pass "lintian reports no error and no warning"
            else
                fail "lintian ended with status $status"
            fi
        else
            echo "skipped: lintian not found (Debian package lintian)"
        fi
    fi
    ;;
*)
    echo "usage: $0 tree|deb BUILD_DIR PROGRAM..." >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
