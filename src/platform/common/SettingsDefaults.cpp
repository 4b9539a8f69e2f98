#include "platform/common/SettingsDefaults.h"

#include <QMetaType>
#include <QVariant>

SettingsDefaults::SettingsDefaults(QString filePath)
    : m_filePath(std::move(filePath)) {
    open();
}

void SettingsDefaults::open() {
    m_settings = m_filePath.isEmpty()
                     ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                   QStringLiteral("Vantrel"), QStringLiteral("Vantrel"))
                     : std::make_unique<QSettings>(m_filePath, QSettings::IniFormat);
}

SettingsDefaults::~SettingsDefaults() = default;

std::optional<QString> SettingsDefaults::string(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (!value.isValid())
        return std::nullopt;
    // Bytes written by setData read back as text when they are valid UTF-8; anything else is not a string.
    if (value.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        QString text = QString::fromUtf8(bytes);
        if (text.toUtf8() != bytes)
            return std::nullopt;
        return text;
    }
    if (!value.canConvert<QString>())
        return std::nullopt;
    return value.toString();
}

std::optional<QByteArray> SettingsDefaults::data(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    if (value.typeId() == QMetaType::QString)
        return value.toString().toUtf8();
    return std::nullopt;
}

bool SettingsDefaults::setString(const QString& key, const QString& value) {
    return write([&](QSettings& settings) { settings.setValue(key, value); });
}

bool SettingsDefaults::setData(const QString& key, const QByteArray& value) {
    return write([&](QSettings& settings) { settings.setValue(key, value); });
}

bool SettingsDefaults::remove(const QString& key) {
    return write([&](QSettings& settings) { settings.remove(key); });
}

bool SettingsDefaults::write(const std::function<void(QSettings&)>& change) {
    // QSettings keeps reporting an error once it had one (a failed read or write), even after the disk
    // recovers: every later write would be reported as lost.  A store in error starts again.
    if (m_settings->status() != QSettings::NoError)
        open();
    change(*m_settings);
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}
