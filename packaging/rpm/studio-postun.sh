# What %systemd_postun_with_restart does: after an upgrade a running service restarts on the new binary.
if [ -d /run/systemd/system ]; then
    /usr/bin/systemctl daemon-reload >/dev/null 2>&1 || :
fi
if [ "$1" -ge 1 ] && [ -x /usr/bin/systemctl ]; then
    /usr/bin/systemctl try-restart vantrel-studio.service >/dev/null 2>&1 || :
fi
exit 0
