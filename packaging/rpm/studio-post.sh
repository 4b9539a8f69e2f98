install -d -o vantrel-studio -g vantrel-studio -m 700 /var/lib/vantrel-studio
chown root:vantrel-studio /etc/vantrel-studio /etc/vantrel-studio/vantrel-studio.conf
chmod 0750 /etc/vantrel-studio
chmod 0640 /etc/vantrel-studio/vantrel-studio.conf
[ -d /run/systemd/system ] && systemctl daemon-reload >/dev/null 2>&1
exit 0
