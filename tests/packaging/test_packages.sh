#!/usr/bin/env bash
# Builds the four packages and checks them here: each carries what the install tree has, settings files are
# configuration files, lintian and rpmlint find no error, the binaries are hardened, the unit verifies.  Then
# installs the .debs on a clean minimal Debian root and runs them there (clean_root.sh).
set -euo pipefail
build=$1 version=$2
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: building a clean root needs root"
    exit 77
fi

work=$(mktemp -d /tmp/vantrel-packages.XXXXXX)
chmod 755 "$work"
cleanup() { rm -rf --one-file-system "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
cd "$work/packages"
debs=(vantrel_*.deb vantrel-studio_*.deb)
rpms=(vantrel-[0-9]*.rpm vantrel-studio-[0-9]*.rpm)
[ -f "${debs[0]}" ] && [ -f "${debs[1]}" ] && [ -f "${rpms[0]}" ] && [ -f "${rpms[1]}" ] || fail "missing packages: $(ls)"

# --- each package carries exactly the files of its install tree (a Shell extension added there included) -----
files() { # PACKAGE: its files and links, without folders
    case $1 in
        *.deb) dpkg-deb --fsys-tarfile "$1" | tar -tv | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' ;;
        *.rpm) rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$1" 2>/dev/null | awk '$1 !~ /^d/ { print $2 }' |
            grep -v '^/usr/lib/\.build-id/' ;;
    esac
}
components=(agent studio)
for i in 0 1; do
    DESTDIR=$work/tree/${components[$i]} cmake --install "$build" --prefix /usr --component "${components[$i]}" >/dev/null
    tree=$(cd "$work/tree/${components[$i]}" && find . ! -type d | sed 's|^\./|/|' | sort)
    for package in "${debs[$i]}" "${rpms[$i]}"; do
        differs=$(diff <(echo "$tree") <(files "$package" | sort) || true)
        [ -z "$differs" ] || fail "$package differs from the install tree (< tree only, > package only):
$differs"
    done
    # Whatever lies in /etc is the admin's: a configuration file, kept at upgrade.
    etc=$(grep '^/etc/' <<<"$tree" | sort)
    [ "$(dpkg-deb --ctrl-tarfile "${debs[$i]}" | tar -xO ./conffiles 2>/dev/null | sort)" = "$etc" ] ||
        fail "${debs[$i]}: conffiles are not all of /etc"
    [ "$(rpm -qp --configfiles "${rpms[$i]}" 2>/dev/null | sort)" = "$etc" ] || fail "${rpms[$i]}: %config is not all of /etc"
done

# --- checkers: no lintian error, warning or missing hardening, no rpmlint error but the missing signature ----------
lintian --allow-root -I --pedantic --tag-display-limit 0 "${debs[@]}" >"$work/lintian.log" 2>&1 || true
# The Wayland module's few fortifiable calls have sizes the compiler proves safe or cannot know: none is checked.
! grep -E '^[EW]: |hardening-no-(pie|relro|bindnow|fortify-functions)' "$work/lintian.log" |
    grep -v 'hardening-no-fortify-functions \[usr/lib/vantrel/modules/libvantrel-wayland\.so\]' || fail "lintian (all it said above is in the log):
$(cat "$work/lintian.log")"
rpmlint -r "$here/../../packaging/vantrel.rpmlintrc" "${rpms[@]}" >"$work/rpmlint.log" 2>&1 || true
! grep ': E: ' "$work/rpmlint.log" | grep -v ': E: no-signature' || fail "rpmlint: $(cat "$work/rpmlint.log")"

# --- hardened binaries: lintian's hardening tags above cover PIE, RELRO, immediate binding and fortified calls;
# it has none for the stack protector --------------------------------------------------------------------------
dpkg-deb -x "${debs[0]}" "$work/x"
dpkg-deb -x "${debs[1]}" "$work/x"
elves=$(find "$work/x" -type f -exec file {} + | sed -n 's/: *ELF .*//p')
[ "$(wc -l <<<"$elves")" -ge 3 ] || fail "not every binary was found: $elves"
for binary in $elves; do
    readelf --dyn-syms -W "$binary" | grep -c '__stack_chk_fail' >/dev/null || fail "$binary has no stack protector"
done
desktop-file-validate "$work/x/usr/share/applications/vantrel.desktop" "$work/x/etc/xdg/autostart/vantrel.desktop"
unit=$work/x/usr/lib/systemd/system/vantrel-studio.service
# Its sandbox: a directive lost raises the exposure above the 1.6 it has.
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | tail -1)
score=$(sed -n 's/^.*Overall exposure level.*: \([0-9.]*\) .*/\1/p' <<<"$exposure")
awk -v score="${score:-10}" 'BEGIN { exit !(score <= 1.6) }' || fail "the unit's exposure: $exposure"
echo "unit exposure: ${exposure##*: }"

# --- a clean Debian root ----------------------------------------------------------------------------------
unshare --mount --propagation private "$here/clean_root.sh" "$build" "$version" "$work"
echo "packages: built, checked, installed and run on a clean root, purged"
