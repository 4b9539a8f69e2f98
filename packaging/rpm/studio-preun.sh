# What %systemd_preun does: erasing the package (not an upgrade) stops and disables the service; without a
# running systemd the disable still removes its links.
if [ "$1" -eq 0 ] && [ -x /usr/bin/systemctl ]; then
    /usr/bin/systemctl --no-reload disable --now vantrel-studio.service >/dev/null 2>&1 || :
fi
exit 0
