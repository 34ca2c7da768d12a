#!/usr/bin/env bash
# Builds the Debian package and the /usr installation into a scratch directory and checks
# what a user would get: the file list, the configuration files, the control fields, the
# maintainer scripts, the systemd unit (systemd-analyze verify), the manual pages (man -l),
# the log rotation (logrotate -d) and lintian. Tools that are not installed are skipped.
# Nothing is installed on this machine: everything goes below the scratch directory.
#
# Usage: package_test.sh BUILD_DIR SCRATCH_PARENT VERSION UNIT_DIR MAN_PAGES(ON|OFF) CMAKE CPACK
set -euo pipefail

build=$1 scratch_parent=$2 version=$3 unit_dir=$4 man_pages=$5 cmake=$6 cpack=$7

mkdir -p "$scratch_parent"
scratch=$(mktemp -d "$scratch_parent/package-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
skip() { echo "SKIP: $*"; }
have() { local path; path=$(command -v "$1" 2>/dev/null) && [[ -x $path ]]; }

expected_files() {
    printf '%s\n' \
        ./etc/logrotate.d/telvord \
        ./etc/telvor.clientd.conf \
        ".$unit_dir/telvord.service" \
        ".$unit_dir/telvord-lockdown.service" \
        ./usr/bin/telvorctl \
        ./usr/libexec/telvord/telvord-lockdown \
        ./usr/sbin/telvord \
        ./usr/share/doc/telvord/changelog.gz \
        ./usr/share/doc/telvord/copyright
    if [[ $man_pages == ON ]]; then
        printf '%s\n' \
            ./usr/share/man/man1/telvorctl.1.gz \
            ./usr/share/man/man5/telvor.clientd.conf.5.gz \
            ./usr/share/man/man8/telvord.8.gz
    fi
}

compare_lists() { # what, expected file, actual file
    if diff -u "$2" "$3" >"$scratch/diff"; then
        pass "$1"
    else
        fail "$1 differs from the expected layout:"
        cat "$scratch/diff" >&2
    fi
}

# Runs a maintainer script with the system's directories read-only when this runs as root
# and a private mount namespace can be had, so that a script that strays out of DPKG_ROOT
# fails instead of changing this machine.
run_confined() {
    if [[ $(id -u) == 0 ]] && unshare -m --propagation private true 2>/dev/null; then
        unshare -m --propagation private bash -c '
            scratch=$1; shift
            for d in /etc /var /usr /run /boot /opt /srv /root; do
                [[ -d $d && ! -L $d && $scratch/ != "$d"/* ]] || continue
                mount --bind "$d" "$d" && mount -o remount,bind,ro "$d" || exit 99
            done
            exec "$@"' confined "$scratch" "$@"
    else
        "$@"
    fi
}

expected_files | sort >"$scratch/expected"

# --- cmake --install --prefix /usr ------------------------------------------------------------
stage=$scratch/stage
if DESTDIR=$stage "$cmake" --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
    (cd "$stage" && find . \( -type f -o -type l \) | sort) >"$scratch/staged"
    compare_lists "files of cmake --install --prefix /usr" "$scratch/expected" "$scratch/staged"
    if grep -qx 'ExecStart=/usr/sbin/telvord' "$stage$unit_dir/telvord.service"; then
        pass "the unit starts /usr/sbin/telvord"
    else
        fail "the unit does not start /usr/sbin/telvord: $(grep ExecStart "$stage$unit_dir/telvord.service")"
    fi
    if grep -qx 'ExecStart=/usr/libexec/telvord/telvord-lockdown' "$stage$unit_dir/telvord-lockdown.service"; then
        pass "the lockdown unit starts /usr/libexec/telvord/telvord-lockdown"
    else
        fail "the lockdown unit starts: $(grep ExecStart "$stage$unit_dir/telvord-lockdown.service")"
    fi
else
    fail "cmake --install failed:"
    cat "$scratch/install.log" >&2
fi

# --- cpack -G DEB -----------------------------------------------------------------------------
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    fail "cpack -G DEB failed"
    exit 1
fi
debs=("$scratch"/package/*.deb)
if [[ ${#debs[@]} != 1 || ! -f ${debs[0]} ]]; then
    fail "cpack made ${#debs[@]} packages: ${debs[*]}"
    exit 1
fi
deb=${debs[0]}
architecture=$(dpkg --print-architecture 2>/dev/null || echo amd64)
[[ $(basename "$deb") == "telvord_${version}_${architecture}.deb" ]] &&
    pass "package file name $(basename "$deb")" || fail "package file name $(basename "$deb")"

# The file list, with owners and modes.
dpkg-deb -c "$deb" >"$scratch/contents"
awk '$1 ~ /^[-l]/ {print $6}' "$scratch/contents" | sort >"$scratch/packaged"
compare_lists "files of the package" "$scratch/expected" "$scratch/packaged"
check_entry() { # path, mode and owner as dpkg-deb -c shows them
    if awk -v p="$1" -v m="$2" -v o="$3" '$6 == p && $1 == m && $2 == o {found = 1} END {exit !found}' \
        "$scratch/contents"; then
        pass "$1 is $2 $3"
    else
        fail "$1 is not $2 $3: $(awk -v p="$1" '$6 == p' "$scratch/contents")"
    fi
}
check_entry ./usr/sbin/telvord -rwxr-xr-x root/root
check_entry ./usr/bin/telvorctl -rwxr-xr-x root/root
check_entry ./usr/libexec/telvord/telvord-lockdown -rwxr-xr-x root/root
check_entry ./etc/telvor.clientd.conf -rw-r--r-- root/root
check_entry ./etc/logrotate.d/telvord -rw-r--r-- root/root
check_entry ".$unit_dir/telvord.service" -rw-r--r-- root/root
check_entry ".$unit_dir/telvord-lockdown.service" -rw-r--r-- root/root
if awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {bad = 1; print} END {exit bad}' "$scratch/contents" >"$scratch/dirs"; then
    pass "every directory is 0755"
else
    fail "directories with other modes: $(cat "$scratch/dirs")"
fi

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
check_field() { # name, extended regular expression the whole value must match
    local value
    value=$(field "$1")
    if [[ $value =~ $2 ]]; then pass "$1: $value"; else fail "$1 is '$value', expected /$2/"; fi
}
check_field Package '^telvord$'
check_field Version "^${version//./\\.}$"
check_field Architecture "^${architecture}$"
check_field Section '^net$'
check_field Maintainer '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$'
check_field Depends '(^|, )iproute2(,|$)'
check_field Depends '(^|, )libc6( |,|$)'
check_field Depends '(^|, )libsystemd0( |,|$)'
check_field Depends '(^|, )libnftables1( |,|$)'
check_field Depends '(^|, )nftables(,|$)'
check_field Recommends '(^|, )openvpn(,|$)'
check_field Description '.'

# The control archive: configuration files and maintainer scripts.
control=$scratch/control
dpkg-deb -e "$deb" "$control"
printf '%s\n' /etc/logrotate.d/telvord /etc/telvor.clientd.conf >"$scratch/conffiles.expected"
sort "$control/conffiles" >"$scratch/conffiles"
compare_lists "conffiles" "$scratch/conffiles.expected" "$scratch/conffiles"
for script in postinst prerm postrm; do
    if [[ -x $control/$script ]] && sh -n "$control/$script"; then
        pass "$script is an executable shell script"
    else
        fail "$script is missing, not executable or not valid sh"
    fi
done

# --- Maintainer scripts, run against a scratch root ---------------------------------------------
# Stand-ins for the systemd helpers record how they are called.
stubs=$scratch/stubs
mkdir -p "$stubs"
for tool in deb-systemd-helper deb-systemd-invoke systemctl telvorctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 0\n' "$tool" "$scratch" >"$stubs/$tool"
    chmod +x "$stubs/$tool"
done
root=$scratch/root
dpkg-deb -x "$deb" "$root"
mkdir -p "$root/var/log" "$root/var/tmp"
printf 'x\n' >"$root/var/log/telvor.clientd.log"
printf 'x\n' >"$root/var/log/telvor.clientd.log.1"
printf '40001' >"$root/var/tmp/telvor.clientd.port"
maintainer() { # script, arguments...
    local script=$1
    shift
    : >"$scratch/calls"
    DPKG_ROOT=$root PATH="$stubs:$PATH" run_confined sh "$control/$script" "$@"
}

if maintainer postinst configure && grep -qx 'deb-systemd-helper enable telvord.service' "$scratch/calls" &&
    ! grep -q 'deb-systemd-invoke' "$scratch/calls"; then
    pass "postinst configure enables the unit and starts nothing in another root"
else
    fail "postinst configure: $(cat "$scratch/calls")"
fi
if maintainer prerm remove && ! grep -q . "$scratch/calls"; then
    pass "prerm remove touches nothing in another root"
else
    fail "prerm remove: $(cat "$scratch/calls")"
fi
if maintainer postrm remove && [[ -f $root/etc/telvor.clientd.conf && -f $root/var/log/telvor.clientd.log ]]; then
    pass "postrm remove keeps the configuration and the log"
else
    fail "postrm remove lost the configuration or the log"
fi
if maintainer postrm purge && grep -qx 'deb-systemd-helper purge telvord.service' "$scratch/calls"; then
    left=()
    for file in etc/telvor.clientd.conf var/log/telvor.clientd.log var/log/telvor.clientd.log.1 \
        var/tmp/telvor.clientd.port; do
        [[ -e $root/$file ]] && left+=("$file")
    done
    if ((${#left[@]} == 0)) && [[ -f $root/etc/logrotate.d/telvord ]]; then
        pass "postrm purge deletes the configuration, the logs and the port file"
    else
        fail "postrm purge left: ${left[*]}"
    fi
else
    fail "postrm purge: $(cat "$scratch/calls")"
fi

# --- systemd-analyze verify ---------------------------------------------------------------------
if have systemd-analyze; then
    # A root holding the package and the system's own units (targets the unit refers to).
    verify_root=$scratch/verify
    dpkg-deb -x "$deb" "$verify_root"
    for units in /lib/systemd/system /usr/lib/systemd/system; do
        [[ -d $units ]] && mkdir -p "$verify_root$units" && cp -an "$units/." "$verify_root$units/" 2>/dev/null || true
    done
    man_check=(--man=no)
    if [[ $man_pages == ON ]] && have man; then man_check=(--man=yes); fi
    if MANPATH=$verify_root/usr/share/man systemd-analyze verify "${man_check[@]}" --root="$verify_root" \
        "$verify_root$unit_dir/telvord.service" "$verify_root$unit_dir/telvord-lockdown.service" \
        >"$scratch/verify.log" 2>&1 && ! grep -q . "$scratch/verify.log"; then
        pass "systemd-analyze verify ${man_check[*]}"
    else
        fail "systemd-analyze verify:"
        cat "$scratch/verify.log" >&2
    fi
else
    skip "systemd-analyze is not installed"
fi

# --- Manual pages -------------------------------------------------------------------------------
if [[ $man_pages != ON ]]; then
    skip "the manual pages were not built (scdoc is not installed)"
elif ! have man; then
    skip "man is not installed"
else
    for page in "$root"/usr/share/man/man*/*.gz; do
        name=$(basename "$page" .gz)
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        if [[ -z $warnings ]]; then pass "man -l $name renders without warnings"; else fail "man -l $name: $warnings"; fi
        wide=$(MANWIDTH=80 man -l "$page" 2>/dev/null | awk 'length($0) > 80')
        if [[ -z $wide ]]; then pass "$name fits 80 columns"; else fail "$name is wider than 80 columns: $wide"; fi
    done
    # Keywords must come out whole, as they are typed: no hyphenation.
    rendered=$(MANWIDTH=80 man -l "$root/usr/share/man/man8/telvord.8.gz" 2>/dev/null)
    keywords=($(gzip -dc "$root/usr/share/man/man8/telvord.8.gz" |
        sed -n 's/^\\fB\([a-z0-9]*:\)\\fR.*/\1/p' | sort -u))
    stated=$(sed -n 's/.*The \([0-9][0-9]*\) keywords.*/\1/p' <<<"$rendered" | head -n 1)
    missing=()
    for keyword in "${keywords[@]}"; do
        grep -qF -- "$keyword" <<<"$rendered" || missing+=("$keyword")
    done
    if [[ -z $stated || ${#keywords[@]} -lt $stated ]]; then
        fail "telvord(8) has entries for ${#keywords[@]} keywords, but says '${stated:-?}'"
    elif ((${#missing[@]} == 0)); then
        pass "all ${#keywords[@]} keywords appear whole in telvord(8)"
    else
        fail "not found whole in telvord(8): ${missing[*]}"
    fi
fi

# --- logrotate ----------------------------------------------------------------------------------
if have logrotate; then
    if logrotate -d -s "$scratch/logrotate.state" "$root/etc/logrotate.d/telvord" >"$scratch/logrotate.log" 2>&1 &&
        ! grep -qi '^error' "$scratch/logrotate.log"; then
        pass "logrotate accepts the rotation"
    else
        fail "logrotate:"
        cat "$scratch/logrotate.log" >&2
    fi
else
    skip "logrotate is not installed"
fi

# --- lintian ------------------------------------------------------------------------------------
if have lintian; then
    if lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1; then
        pass "lintian finds no error"
    else
        fail "lintian:"
    fi
    grep -v 'running with root privileges' "$scratch/lintian.log" || true
else
    skip "lintian is not installed"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all package checks passed"
