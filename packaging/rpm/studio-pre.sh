getent group vantrel-studio >/dev/null || groupadd --system vantrel-studio
getent passwd vantrel-studio >/dev/null || useradd --system --gid vantrel-studio \
    --home-dir /var/lib/vantrel-studio --no-create-home --shell /sbin/nologin \
    --comment "Vantrel studio service" vantrel-studio
exit 0
