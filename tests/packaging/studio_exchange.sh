#!/usr/bin/env bash
# The installed studio in ROOT, started the way its unit does (the ExecStart line, as the service user, with
# the settings file's values; the listen address and certificate pointed at this test's own) and under the
# memory filter of the unit's MemoryDenyWriteExecute=, answers the pairing-to-clock-out exchange over HTTPS.
# Usage: studio_exchange.sh ROOT WORK_DIR
set -euo pipefail
root=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
as_studio() { in_root runuser -u vantrel-studio -- "$@"; }

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
    eval "exec /usr/bin/python3 $here/mdwe.py chroot $root /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        runuser -u vantrel-studio -- $exec_start"
) >"$work/studio.log" 2>&1 &
studio=$!
trap 'kill $studio 2>/dev/null || true; wait $studio 2>/dev/null || true' EXIT

ask() { # METHOD PATH [BODY] [TOKEN]: prints the body, then the status on its own line
    curl -sS --cacert "$root$data/ca.pem" --resolve "studio.test:$port:127.0.0.1" -X "$1" \
        -H 'Content-Type: application/json' ${4:+-H "Authorization: Bearer $4"} ${3:+--data "$3"} \
        -w '\n%{http_code}' "https://studio.test:$port$2"
}
for _ in $(seq 1 300); do
    ask GET /device/me >/dev/null 2>&1 && break
    kill -0 $studio 2>/dev/null || fail "the studio ended"
    sleep 0.1
done
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
