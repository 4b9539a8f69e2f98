# /etc/vantrel-studio and its settings get their owner and mode from the file list.
install -d -o vantrel-studio -g vantrel-studio -m 700 /var/lib/vantrel-studio
# What %systemd_post does: a first install applies the system's preset (which leaves the unit disabled
# unless the admin's policy says otherwise).
if [ "$1" -eq 1 ] && [ -x /usr/bin/systemctl ]; then
    /usr/bin/systemctl --no-reload preset vantrel-studio.service >/dev/null 2>&1 || :
fi
if [ -d /run/systemd/system ]; then
    /usr/bin/systemctl daemon-reload >/dev/null 2>&1 || :
fi
exit 0
