#pragma once

#include "platform/Defaults.h"

#include <QSettings>

#include <functional>
#include <memory>

// User defaults in QSettings, written through: every setter syncs to disk and reports whether that worked.
// An empty path uses the native per-user store of "Vantrel"; a path names an INI file (tests use their own).
class SettingsDefaults final : public Defaults {
public:
    explicit SettingsDefaults(QString filePath = {});
    ~SettingsDefaults() override;

    std::optional<QString> string(const QString& key) const override;
    std::optional<QByteArray> data(const QString& key) const override;
    bool setString(const QString& key, const QString& value) override;
    bool setData(const QString& key, const QByteArray& value) override;
    bool remove(const QString& key) override;

private:
    void open();
    bool write(const std::function<void(QSettings&)>& change);

    QString m_filePath;
    std::unique_ptr<QSettings> m_settings;
};
