#!/usr/bin/env bash
# Builds the four packages, installs the two .debs, checks what they install, starts the studio the way its
# unit does and runs the pairing-to-clock-out exchange against it, inspects the .rpms, then purges the .debs
# and checks that nothing is left behind.
set -euo pipefail
build=$1 version=$2
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing packages needs root"
    exit 77
fi
if dpkg-query -W vantrel vantrel-studio >/dev/null 2>&1; then
    echo "skipped: vantrel packages are already installed on this machine; this test would remove them"
    exit 77
fi

work=$(mktemp -d /tmp/vantrel-packages.XXXXXX)
chmod 755 "$work" # the service user reaches its folder inside
studio_pid=""
cleanup() {
    local status=$?
    if [ $status -ne 0 ] && [ -s "$work/studio.log" ]; then echo "The studio said:" >&2; cat "$work/studio.log" >&2; fi
    [ -n "$studio_pid" ] && kill "$studio_pid" 2>/dev/null || true
    apt-get purge -y -qq vantrel vantrel-studio >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
cd "$work/packages"
debs=(vantrel_*.deb vantrel-studio_*.deb)
rpms=(vantrel-[0-9]*.rpm vantrel-studio-[0-9]*.rpm)
[ -f "${debs[0]}" ] && [ -f "${debs[1]}" ] && [ -f "${rpms[0]}" ] && [ -f "${rpms[1]}" ] || fail "missing packages: $(ls)"

# --- .rpm: metadata, automatic requirements, file lists -----------------------------------------------
for rpm in "${rpms[@]}"; do
    info=$(rpm -qip "$rpm" 2>/dev/null)
    grep -q "^Version *: $version$" <<<"$info" || fail "$rpm: version is not the project's: $info"
    rpm -qp --changelog "$rpm" 2>/dev/null | grep -q "First packaged release" || fail "$rpm: no changelog"
done
agent_requires=$(rpm -qpR "${rpms[0]}" 2>/dev/null)
for lib in libQt6Widgets.so.6 libQt6DBus.so.6 libsecret-1.so.0 libturbojpeg.so.0 libxcb-xinput.so.0; do
    grep -q "^$lib" <<<"$agent_requires" || fail "vantrel.rpm does not require $lib: $agent_requires"
done
studio_requires=$(rpm -qpR "${rpms[1]}" 2>/dev/null)
for lib in libmicrohttpd.so.12 libpq.so.5 libsqlite3.so.0; do
    grep -q "^$lib" <<<"$studio_requires" || fail "vantrel-studio.rpm does not require $lib: $studio_requires"
done
listed() { # PACKAGE FILE…: every FILE is in the package, and nothing lands outside the expected folders
    local files; files=$(rpm -qpl "$1" 2>/dev/null); shift
    for file in "$@"; do grep -qx "$file" <<<"$files" || fail "$rpm lacks $file: $files"; done
    ! grep -vE '^/(usr/bin|usr/share/(applications|icons|doc/vantrel(-studio)?|gnome-shell)|usr/lib/(\.build-id|systemd/system)|etc/(xdg/autostart|vantrel-studio))(/|$)' \
        <<<"$files" || fail "unexpected files in $1"
}
listed "${rpms[0]}" /usr/bin/vantrel /usr/share/applications/vantrel.desktop /etc/xdg/autostart/vantrel.desktop \
    /usr/share/icons/hicolor/scalable/apps/vantrel.svg /usr/share/doc/vantrel/changelog.Debian.gz \
    /usr/share/gnome-shell/extensions/legacy@vantrel.org/extension.js \
    /usr/share/gnome-shell/extensions/activity@vantrel.org/metadata.json
listed "${rpms[1]}" /usr/bin/vantrel-studio /usr/lib/systemd/system/vantrel-studio.service \
    /etc/vantrel-studio/vantrel-studio.conf /usr/share/doc/vantrel-studio/changelog.Debian.gz
rpm -qp --configfiles "${rpms[1]}" 2>/dev/null | grep -qx /etc/vantrel-studio/vantrel-studio.conf \
    || fail "the studio's settings are not a configuration file in the .rpm"
rpm -qp --scripts "${rpms[1]}" 2>/dev/null | grep -q "useradd --system" || fail "vantrel-studio.rpm creates no user"

# --- .deb: install, run, purge ------------------------------------------------------------------------
dpkg-deb -f "${debs[0]}" Depends | grep -q "libqt6widgets6" || fail "vantrel.deb depends on no Qt Widgets"
apt-get install -y -qq "./${debs[0]}" "./${debs[1]}" >/dev/null
installed=$(dpkg -L vantrel vantrel-studio)

[ "$(vantrel --version)" = "vantrel $version" ] || fail "vantrel --version: $(vantrel --version)"
env -u DISPLAY -u WAYLAND_DISPLAY vantrel --help | grep -q -- "--hidden" || fail "vantrel --help names no --hidden"
vantrel-studio --version | grep -qx "vantrel-studio $version" || fail "vantrel-studio --version: $(vantrel-studio --version 2>&1)"
desktop-file-validate /usr/share/applications/vantrel.desktop /etc/xdg/autostart/vantrel.desktop
grep -qx "Exec=vantrel --hidden" /etc/xdg/autostart/vantrel.desktop || fail "the autostart entry does not start hidden"
systemd-analyze verify /usr/lib/systemd/system/vantrel-studio.service
getent passwd vantrel-studio >/dev/null || fail "no vantrel-studio user"
[ "$(stat -c %U:%G:%a /etc/vantrel-studio/vantrel-studio.conf)" = root:vantrel-studio:640 ] \
    || fail "settings file: $(stat -c %U:%G:%a /etc/vantrel-studio/vantrel-studio.conf)"

# The studio under its unit's settings: the ExecStart line, as the service user, with the settings file's
# values (its folder, listen address and certificate pointed at this test's own).
data=$work/studio
install -d -o vantrel-studio -g vantrel-studio -m 700 "$data"
as_studio() { runuser -u vantrel-studio -- "$@"; }
as_studio vantrel-studio init --data "$data" --host studio.test >/dev/null
as_studio vantrel-studio add-user --data "$data" --name "Dana Editor" --email dana@example.com >/dev/null
project=$(as_studio vantrel-studio add-project --data "$data" --user dana@example.com --title Trailer)
code=$(as_studio vantrel-studio pairing-code --data "$data" --user dana@example.com | awk '{print $NF}')
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
exec_start=$(sed -n 's/^ExecStart=//p' /usr/lib/systemd/system/vantrel-studio.service)
(
    set -a +u
    # shellcheck disable=SC1091
    . /etc/vantrel-studio/vantrel-studio.conf
    DATA=$data LISTEN=127.0.0.1:$port CERTIFICATE=$data/server.pem KEY=$data/server-key.pem
    set +a
    eval "exec runuser -u vantrel-studio -- $exec_start"
) >"$work/studio.log" 2>&1 &
studio_pid=$!

ask() { # METHOD PATH [BODY] [TOKEN]: prints the body, then the status on its own line
    curl -sS --cacert "$data/ca.pem" --resolve "studio.test:$port:127.0.0.1" -X "$1" \
        -H 'Content-Type: application/json' ${4:+-H "Authorization: Bearer $4"} ${3:+--data "$3"} \
        -w '\n%{http_code}' "https://studio.test:$port$2"
}
for _ in $(seq 1 100); do ask GET /device/me >/dev/null 2>&1 && break; sleep 0.1; done
paired=$(ask POST /device/pair "{\"code\":\"$code\",\"name\":\"Packaged agent\"}")
[ "$(tail -1 <<<"$paired")" = 200 ] || fail "pairing: $paired"
token=$(head -1 <<<"$paired" | /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["token"])')
me=$(ask GET /device/me "" "$token")
[ "$(tail -1 <<<"$me")" = 200 ] && grep -q "$project" <<<"$me" || fail "profile: $me"
session=$(cat /proc/sys/kernel/random/uuid)
opened=$(ask POST /device/sessions "{\"id\":\"$session\",\"project_id\":\"$project\",\"stage\":\"Rough cut\",\"note\":\"\"}" "$token")
[ "$(tail -1 <<<"$opened")" = 200 ] || fail "opening a session: $opened"
started=$(head -1 <<<"$opened" | /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["started_at"])')
stopped=$(ask POST "/device/sessions/$session/stop" "{\"ended_at\":$started}" "$token")
[ "$(tail -1 <<<"$stopped")" = 200 ] || fail "stop: $stopped"
as_studio vantrel-studio sessions --data "$data" | grep -q "$session" || fail "the session was not stored"
kill "$studio_pid"; wait "$studio_pid" 2>/dev/null || true; studio_pid=""

apt-get purge -y -qq vantrel vantrel-studio >/dev/null
left=""
while read -r path; do
    [ -z "$path" ] || [ "$path" = /. ] && continue
    case "$path" in /usr/share/doc|/usr/share/icons*|/usr/share/applications|/usr/share/gnome-shell|/usr/share/gnome-shell/extensions|/usr/lib/systemd*|/etc/xdg*|/usr|/usr/bin|/usr/share|/usr/lib|/etc) continue ;; esac
    [ -e "$path" ] && left="$left $path"
done <<<"$installed"
for path in /etc/vantrel-studio /var/lib/vantrel-studio; do [ -e "$path" ] && left="$left $path"; done
[ -z "$left" ] || fail "left behind after purge:$left"
! getent passwd vantrel-studio >/dev/null || fail "the vantrel-studio user is left behind"
! dpkg-query -W vantrel vantrel-studio >/dev/null 2>&1 || fail "packages still known to dpkg"
echo "packages: built, installed, run, purged"
