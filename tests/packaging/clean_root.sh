#!/usr/bin/env bash
# Installs the two .debs on a minimal Debian root (debootstrap minbase, Recommends off) and runs them there,
# as on a studio's freshly installed machine: the agent on an X server with a late tray and on a headless
# Wayland compositor without XWayland, the studio under its unit's settings and under the unit's
# write-or-execute memory filter, and the maintainer scripts (the .rpm's too) against what admins do.  The X
# server, tray, compositor and checks run outside the root, so nothing they pull in can stand in for a missing
# dependency.
# Runs in a private mount namespace (tests/packaging/test_packages.sh starts it with unshare).
# Usage: clean_root.sh BUILD_DIR VERSION WORK_DIR (WORK_DIR holds the packages).  Exit 77: cannot run here.
set -euo pipefail
build=$1 version=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "[$SECONDS s] $*"; }
skip() { echo "skipped: $*"; exit 77; }
wait_for() { # SECONDS COMMAND...: polls COMMAND until it succeeds; false once SECONDS have passed
    local end=$((SECONDS + $1)); shift
    until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}

# --- the root: built once, kept as a tarball in the build folder ------------------------------------------
cache=$build/packaging-cache
base=$cache/bookworm-minbase.tar
mkdir -p "$cache/archives/partial"
if [ ! -s "$base" ]; then
    command -v debootstrap >/dev/null || skip "debootstrap is not installed"
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
    [ -n "$mirror" ] || skip "no Debian mirror in this machine's apt sources"
    fresh=$(mktemp -d "$cache/debootstrap.XXXXXX")
    chmod 755 "$fresh" # the root's own folder: the service user must get through it
    debootstrap --variant=minbase --cache-dir="$cache/archives" bookworm "$fresh" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -5 "$work/debootstrap.log"; rm -rf "$fresh"; skip "debootstrap cannot build a root here"; }
    # The same suites as this machine (the packages were built against its updates).
    rm -f "$fresh/etc/apt/sources.list"
    cp /etc/apt/sources.list.d/*.sources "$fresh/etc/apt/sources.list.d/" 2>/dev/null ||
        cp /etc/apt/sources.list "$fresh/etc/apt/sources.list"
    tar -C "$fresh" -cf "$base.part" . && mv "$base.part" "$base"
    rm -rf "$fresh"
fi
# A second tarball adds what the packages depend on (Recommends off), so that later runs install only the two
# packages; it is made again when their dependencies change.
key=$(for deb in "$work"/packages/*.deb; do dpkg-deb -f "$deb" Depends Pre-Depends; done | sha256sum | cut -c1-16)
with_deps=$cache/bookworm-minbase-deps-$key.tar
root=$work/root
mkdir "$root"
tar -C "$root" -xf "$([ -s "$with_deps" ] && echo "$with_deps" || echo "$base")"
chmod 755 "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# dpkg syncs every file it writes; a throw-away root need not wait for the disk.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/vantrel-test"
mkdir -p "$root/proc" "$root/dev" "$root/sys" "$root/tmp" "$root/var/cache/apt/archives"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/run/vantrel" && chmod 700 "$root/run/vantrel"
# A command in the root; started in the background its pid is the program's own (chroot and env exec it).
root_env=(chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
in_root() { "${root_env[@]}" HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }
as_studio() { "${root_env[@]}" runuser -u vantrel-studio -- "$@"; }
dpkg_in_root() { # WHAT DPKG-ARGUMENTS...: fails, saying WHAT, when dpkg does
    local what=$1; shift
    in_root dpkg "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "$what"; }
}

pids=()
cleanup() {
    local status=$? pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ $status -ne 0 ] && [ -s "$work/agent.log" ] && { echo "The agent said:" >&2; tail -20 "$work/agent.log" >&2; }
    [ $status -ne 0 ] && [ -s "$work/studio.log" ] && { echo "The studio said:" >&2; tail -20 "$work/studio.log" >&2; }
    umount -R "$root/dev" "$root/sys" 2>/dev/null || true
    return $status
}
trap cleanup EXIT

step "root ready"
cp "$work"/packages/*.deb "$root/tmp/"
install_packages() {
    in_root apt-get install -y -qq --no-install-recommends /tmp/vantrel_"$version"-1_amd64.deb \
        /tmp/vantrel-studio_"$version"-1_amd64.deb >"$work/install.log" 2>&1 || { tail -20 "$work/install.log"; fail "install"; }
}
if [ ! -s "$with_deps" ]; then
    in_root apt-get -o Acquire::Retries=3 update -qq >/dev/null || skip "the Debian mirror cannot be reached"
    install_packages
    in_root dpkg --purge vantrel vantrel-studio >/dev/null
    rm -f "$cache"/bookworm-minbase-deps-*.tar
    tar -C "$root" --exclude='./proc/*' --exclude='./sys/*' --exclude='./dev/*' --exclude='./tmp/*' \
        --exclude='./var/cache/apt/archives/*' -cf "$with_deps.part" . && mv "$with_deps.part" "$with_deps"
    step "dependencies installed and kept"
fi
# Recommends are off here; on a desktop each of them brings a package that Debian has (the first alternative).
planned=$(in_root apt-get -s -o APT::Install-Recommends=true install /tmp/vantrel_"$version"-1_amd64.deb 2>&1 | sed -n 's/^Inst \([^ ]*\) .*/\1/p')
for wanted in $(dpkg-deb -f "$work/packages/vantrel_$version-1_amd64.deb" Recommends | sed 's/ *|[^,]*//g; s/,/ /g'); do
    grep -qx "$wanted" <<<"$planned" || fail "the recommended $wanted would not be installed: $planned"
done
install_packages
step "packages installed"
in_root vantrel --version | grep -qx "vantrel $version" || fail "vantrel --version in the clean root"
# Loaded at run time, so no library scan declares them: the TLS backend with what it links, and the trust store.
tls=$(in_root sh -c 'ldd /usr/lib/*/qt6/plugins/tls/libqopensslbackend.so' 2>&1) && ! grep -q "not found" <<<"$tls" ||
    fail "the TLS backend cannot be loaded: $tls"
[ -s "$root/etc/ssl/certs/ca-certificates.crt" ] || fail "no trust store for the TLS backend"

# --- the agent on X11: no tray at first, so its window opens; then a tray, which gets a drawn icon ------------
# The suites' X server, on a free display that it names once it accepts clients.
"$here/../support/x-server" --size 1280x800 >"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 120 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=$(head -n 1 "$work/display")
start_agent() { # SESSION-VARIABLES... vantrel [ARGUMENTS]: the installed agent, its pid in $agent
    "${root_env[@]}" HOME=/root XDG_CONFIG_HOME=/root/.config "$@" >"$work/agent.log" 2>&1 &
    agent=$!
    pids+=($agent)
}
start_agent XDG_RUNTIME_DIR=/run/vantrel DISPLAY="$DISPLAY" vantrel --hidden
windows() { # [MIN_WIDTH]: the agent's mapped windows at least that wide
    local id width
    for id in $(xdotool search --onlyvisible --pid "$agent" --name '^Vantrel' 2>/dev/null); do
        width=$(xdotool getwindowgeometry --shell "$id" | sed -n 's/^WIDTH=//p')
        [ "${width:-0}" -ge "${1:-0}" ] && echo "$id"
    done
    return 0
}
window_open() { [ -n "$(windows 100)" ] || ! kill -0 $agent 2>/dev/null; }
wait_for 60 window_open && [ -n "$(windows 100)" ] || fail "no window from a login start without a tray"
trayer --height 32 --widthtype request >"$work/trayer.log" 2>&1 &
pids+=($!)
docked() { icon=$(comm -23 <(windows | sort) <(windows 100 | sort) | head -1) && [ -n "$icon" ]; }
wait_for 60 docked || fail "the agent's icon did not dock in the tray"
# Drawn, not a blank square: an icon that cannot be loaded leaves the tray's own plain background.
drawn() { colours=$(import -silent -window "$icon" png:- 2>/dev/null | identify -format '%k' - 2>/dev/null || echo 0)
          [ "${colours:-0}" -gt 4 ]; }
wait_for 10 drawn || fail "the tray icon is blank ($colours colours)"
# PipeWire and the Wayland client come with the Wayland module alone.
! grep -E 'libpipewire|libwayland-client|libvantrel-wayland' "/proc/$agent/maps" >/dev/null ||
    fail "the agent on X11 mapped its Wayland libraries"
# Its icons are drawn: Qt's SVG support is neither needed nor loaded.
no_svg() { ! grep -E 'libQt6Svg|libqsvg' "/proc/$agent/maps" >/dev/null || fail "the agent on $1 loaded Qt's SVG support"; }
no_svg X11
kill $agent; wait $agent 2>/dev/null || true

# --- the agent on Wayland, no XWayland: Qt's own Wayland platform --------------------------------------------
mkdir -p -m 700 "$root/run/vantrel-wl"
XDG_RUNTIME_DIR=$root/run/vantrel-wl weston --backend=headless-backend.so --socket=wayland-0 --idle-time=0 \
    >"$work/weston.log" 2>&1 &
pids+=($!)
wait_for 30 test -S "$root/run/vantrel-wl/wayland-0" || fail "weston did not start: $(cat "$work/weston.log")"
wayland=(XDG_RUNTIME_DIR=/run/vantrel-wl WAYLAND_DISPLAY=wayland-0 XDG_SESSION_TYPE=wayland)
start_agent "${wayland[@]}" vantrel
on_wayland() { grep -q libqwayland "/proc/$agent/maps" 2>/dev/null || ! kill -0 $agent 2>/dev/null; }
wait_for 60 on_wayland && grep -q libqwayland "/proc/$agent/maps" 2>/dev/null ||
    fail "the agent did not start on the Wayland platform"
wait_for 60 grep -q libvantrel-wayland "/proc/$agent/maps" ||
    fail "the agent did not load its Wayland module: $(cat "$work/agent.log")"
no_svg Wayland
kill $agent; wait $agent 2>/dev/null || true
# Without its module (a broken installation) it says why instead of starting.
module=$(find "$root/usr/lib" -name libvantrel-wayland.so) && [ -n "$module" ] && mv "$module" "$work/" ||
    fail "no Wayland module in the installed package"
start_agent "${wayland[@]}" vantrel
wait_for 60 grep -q "its Wayland support could not be loaded (.*libvantrel-wayland.so" "$work/agent.log" ||
    fail "no word of the missing Wayland module: $(cat "$work/agent.log")"
kill $agent; wait $agent 2>/dev/null || true

step "agent ran on X11 and Wayland"
# --- the studio as its unit starts it (the ExecStart line, as the service user, with the settings file's values;
# listen address and certificate this test's own) under the memory filter of MemoryDenyWriteExecute=: it
# answers the pairing-to-clock-out exchange over HTTPS -----------------------------------------------------------
data=/var/lib/vantrel-studio
as_studio vantrel-studio init --data "$data" --host studio.test >/dev/null
as_studio vantrel-studio add-user --data "$data" --name "Dana Editor" --email dana@example.com >/dev/null
project=$(as_studio vantrel-studio add-project --data "$data" --user dana@example.com --title Trailer)
code=$(as_studio vantrel-studio pairing-code --data "$data" --user dana@example.com | awk '{print $NF}')
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
exec_start=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/system/vantrel-studio.service")
(
    set -a +u
    # shellcheck disable=SC1091
    . "$root/etc/vantrel-studio/vantrel-studio.conf"
    DATA=$data LISTEN=127.0.0.1:$port CERTIFICATE=$data/server.pem KEY=$data/server-key.pem
    set +a
    eval "exec /usr/bin/python3 $here/mdwe.py ${root_env[*]} runuser -u vantrel-studio -- $exec_start"
) >"$work/studio.log" 2>&1 &
studio=$!
pids+=($studio)
ask() { # PATH [BODY] [TOKEN]: the answer's body; fails, printing it, on an HTTP error
    curl -sS --fail-with-body --cacert "$root$data/ca.pem" --resolve "studio.test:$port:127.0.0.1" \
        -H 'Content-Type: application/json' ${3:+-H "Authorization: Bearer $3"} ${2:+--data "$2"} \
        "https://studio.test:$port$1"
}
field() { /usr/bin/python3 -c "import json, sys; print(json.load(sys.stdin)['$1'])"; }
serving() { ask /device/me >/dev/null 2>&1; [ $? -ne 7 ] || ! kill -0 $studio 2>/dev/null; } # 7: refused
wait_for 60 serving && kill -0 $studio 2>/dev/null || fail "the studio did not start"
paired=$(ask /device/pair "{\"code\":\"$code\",\"name\":\"Packaged agent\"}") || fail "pairing: $paired"
token=$(field token <<<"$paired")
ask /device/me "" "$token" | grep -q "$project" || fail "profile"
session=$(cat /proc/sys/kernel/random/uuid)
opened=$(ask /device/sessions "{\"id\":\"$session\",\"project_id\":\"$project\",\"stage\":\"Rough cut\",\"note\":\"\"}" "$token") ||
    fail "opening a session: $opened"
ask "/device/sessions/$session/stop" "{\"ended_at\":$(field started_at <<<"$opened")}" "$token" >/dev/null || fail "stop"
as_studio vantrel-studio sessions --data "$data" | grep -q "$session" || fail "the session was not stored"
kill $studio; wait $studio 2>/dev/null || true

step "studio served"
# --- an upgrade restarts a running service on the new binary and keeps edited settings -------------------------
conf=/etc/vantrel-studio/vantrel-studio.conf
dpkg-deb -R "$work/packages/vantrel-studio_$version-1_amd64.deb" "$work/next"
sed -i "s/^Version: .*/Version: $version-2/" "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$root/tmp/vantrel-studio-next.deb" >/dev/null
pretend_systemd() { # a recorder stands in for systemctl, and /run/systemd/system says it runs
    : >"$root/tmp/systemctl.calls"
    printf '#!/bin/sh\necho "$*" >>/tmp/systemctl.calls\n' >"$root/usr/bin/systemctl"
    chmod 755 "$root/usr/bin/systemctl"
    mkdir -p "$root/run/systemd/system"
}
pretend_systemd
upgraded() { # WHAT: the service was restarted and the admin's line kept
    grep -q "^try-restart vantrel-studio.service" "$root/tmp/systemctl.calls" ||
        fail "$1 does not restart the service: $(cat "$root/tmp/systemctl.calls")"
    grep -q "the admin's own line" "$root$conf" || fail "$1 lost the edited settings"
}
echo "# the admin's own line" >>"$root$conf"
dpkg_in_root upgrade -i /tmp/vantrel-studio-next.deb
upgraded "a .deb upgrade"
rm -r "$root/usr/bin/systemctl" "$root/run/systemd"

# --- maintainer scripts against what admins do ----------------------------------------------------------------
studio_deb=/tmp/vantrel-studio_"$version"-1_amd64.deb
in_root rm "$conf"
dpkg_in_root "reinstalling over a deleted settings file" -i $studio_deb
[ ! -e "$root$conf" ] || fail "a deleted settings file came back"
# A configure that failed half-way (here: no passwd tools) is completed by the next run.
mv "$root/usr/sbin/groupadd" "$root/usr/sbin/groupadd.away"
in_root dpkg --purge vantrel-studio >/dev/null
! in_root dpkg -i $studio_deb >"$work/dpkg.log" 2>&1 || fail "configure without groupadd"
mv "$root/usr/sbin/groupadd.away" "$root/usr/sbin/groupadd"
dpkg_in_root "configure again after a failure" --configure -a
# An account made beforehand: the group alone, as admins fixing ids for a shared volume start.
in_root dpkg --purge vantrel-studio >/dev/null
in_root groupadd --system --gid 973 vantrel-studio
dpkg_in_root "installing over an existing group" -i $studio_deb
[ "$(in_root stat -c %g:%G:%a /etc/vantrel-studio)" = "973:vantrel-studio:750" ] || fail "settings folder"
# Enabled while no systemd runs (an image build); a purge leaves no link behind.
systemctl --root="$root" enable vantrel-studio.service >/dev/null 2>&1
[ -L "$root/etc/systemd/system/multi-user.target.wants/vantrel-studio.service" ] || fail "enabling in the root"
in_root dpkg --purge vantrel-studio >/dev/null
left=$(find "$root/etc/systemd" -name 'vantrel-studio*' 2>/dev/null)
[ -z "$left" ] || fail "left after purge: $left"
! in_root getent passwd vantrel-studio >/dev/null || fail "the vantrel-studio user is left after purge"
[ ! -e "$root/var/lib/vantrel-studio" ] && [ ! -e "$root/etc/vantrel-studio" ] || fail "studio folders left after purge"

# --- the .rpm's scripts, run by rpm in the same root (its dependencies are Debian's here, unknown to rpm): over an
# existing group, modes as the file list gives them, an edited settings file kept and the service restarted at an
# upgrade (the same release again runs the same scriptlets), stopped and disabled when erased ---------------------
rpm_in_root() { # WHAT RPM-ARGUMENTS...
    local what=$1; shift
    rpm --root "$root" --nodeps "$@" >"$work/rpm.log" 2>&1 || { cat "$work/rpm.log"; fail "$what"; }
}
studio_rpm=$(echo "$work"/packages/vantrel-studio-[0-9]*.rpm)
in_root groupadd --system --gid 973 vantrel-studio
rpm_in_root "installing the .rpm over an existing group" -i "$studio_rpm"
rpm_in_root "rpm -V after installing" -V vantrel-studio
modes=$(in_root stat -c '%U:%g:%a %n' /etc/vantrel-studio $conf /var/lib/vantrel-studio | tr '\n' ' ')
[ "$modes" = "root:973:750 /etc/vantrel-studio root:973:640 $conf vantrel-studio:973:700 /var/lib/vantrel-studio " ] ||
    fail "the .rpm's modes: $modes"
pretend_systemd
echo "# the admin's own line" >>"$root$conf"
rpm_in_root "upgrading the .rpm" -U --replacepkgs "$studio_rpm"
upgraded "an .rpm upgrade"
rpm_in_root "erasing the .rpm" -e vantrel-studio
grep -q "^--no-reload disable --now vantrel-studio.service" "$root/tmp/systemctl.calls" ||
    fail "erasing the .rpm leaves the service running: $(cat "$root/tmp/systemctl.calls")"
echo "clean root: installed, agent on X11 and Wayland, studio served, scripts recovered, .rpm scripts ran"
