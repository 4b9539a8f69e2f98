if [ "$1" -eq 0 ] && [ -d /run/systemd/system ]; then
    systemctl --no-reload disable --now vantrel-studio.service >/dev/null 2>&1
fi
exit 0
