#pragma once

#include "platform/Defaults.h"

#include <QSettings>

#include <functional>
#include <memory>

// User defaults in QSettings, written through: every setter syncs to disk and reports whether that worked.
// An empty path uses the native per-user store of "Vantrel"; a path names an INI file (tests use their own).
//
// Data values also have a state file of their own ($XDG_STATE_HOME/vantrel/KEY, or beside a named INI file
// in "PATH.state/KEY"), read before the settings file.  It takes the values rewritten every second without a
// sync, and holds a value when the settings file refuses it.  Each state file carries its length and a
// checksum, so one torn by a crash of the machine is passed over for the settings file.
class SettingsDefaults final : public Defaults {
public:
    explicit SettingsDefaults(QString filePath = {});
    ~SettingsDefaults() override;

    std::optional<QString> string(const QString& key) const override;
    std::optional<QByteArray> data(const QString& key) const override;
    bool setString(const QString& key, const QString& value) override;
    bool setData(const QString& key, const QByteArray& value) override;
    bool remove(const QString& key) override;
    bool cacheData(const QString& key, const QByteArray& value) override;

    // Where the state file of `key` lives.
    QString stateFile(const QString& key) const;

private:
    void open();
    bool write(const std::function<void(QSettings&)>& change);
    // The state file's value: nothing when there is no readable one; an empty optional inside when it
    // records that the key was removed.
    std::optional<std::optional<QByteArray>> readState(const QString& key) const;
    bool writeState(const QString& key, const std::optional<QByteArray>& value, bool sync);

    QString m_filePath;
    QString m_stateDir;
    std::unique_ptr<QSettings> m_settings;
};
