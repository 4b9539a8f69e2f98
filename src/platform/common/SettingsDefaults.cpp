#include "platform/common/SettingsDefaults.h"

#include <QDir>
#include <QFile>
#include <QMetaType>
#include <QVariant>

#include <fcntl.h>
#include <unistd.h>

namespace {

// "vantrel-state 1 PRESENT LENGTH CHECKSUM\n" then the value's bytes.
constexpr QByteArrayView kMagic = "vantrel-state 1";

QString defaultStateDir() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/vantrel");
}

// Writes `bytes` over the file in place: no temporary file and no rename, so a write that is not synced
// costs one system call into the page cache.
bool overwrite(const QString& path, const QByteArray& bytes, bool sync) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = ::pwrite(fd, bytes.constData(), static_cast<size_t>(bytes.size()), 0) == bytes.size() &&
              ::ftruncate(fd, bytes.size()) == 0;
    if (ok && sync)
        ok = ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

} // namespace

SettingsDefaults::SettingsDefaults(QString filePath)
    : m_filePath(std::move(filePath))
    , m_stateDir(m_filePath.isEmpty() ? defaultStateDir() : m_filePath + QStringLiteral(".state")) {
    open();
}

void SettingsDefaults::open() {
    m_settings = m_filePath.isEmpty()
                     ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                   QStringLiteral("Vantrel"), QStringLiteral("Vantrel"))
                     : std::make_unique<QSettings>(m_filePath, QSettings::IniFormat);
}

SettingsDefaults::~SettingsDefaults() = default;

QString SettingsDefaults::stateFile(const QString& key) const {
    return m_stateDir + u'/' + key;
}

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
    if (std::optional<std::optional<QByteArray>> state = readState(key))
        return *state;
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
    // Either place holding the value is enough: the state file is read first.
    const bool inState = writeState(key, value, true);
    const bool inSettings = write([&](QSettings& settings) { settings.setValue(key, value); });
    return inState || inSettings;
}

bool SettingsDefaults::remove(const QString& key) {
    const bool inState = writeState(key, std::nullopt, true);
    const bool inSettings = write([&](QSettings& settings) { settings.remove(key); });
    return inState || inSettings;
}

bool SettingsDefaults::cacheData(const QString& key, const QByteArray& value) {
    return writeState(key, value, false) || setData(key, value);
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

std::optional<std::optional<QByteArray>> SettingsDefaults::readState(const QString& key) const {
    QFile file(stateFile(key));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray all = file.readAll();
    const qsizetype end = all.indexOf('\n');
    const QList<QByteArray> header = all.left(end).split(' ');
    if (end < 0 || !all.startsWith(kMagic) || header.size() != 5)
        return std::nullopt;
    const QByteArray value = all.mid(end + 1);
    bool lengthOk = false;
    bool sumOk = false;
    const qsizetype length = header[3].toLongLong(&lengthOk);
    const uint sum = header[4].toUInt(&sumOk, 16);
    if (!lengthOk || !sumOk || length != value.size() || sum != qChecksum(value))
        return std::nullopt;
    if (header[2] != "1")
        return std::optional<QByteArray>();
    return std::optional<QByteArray>(value);
}

bool SettingsDefaults::writeState(const QString& key, const std::optional<QByteArray>& value, bool sync) {
    if (!QDir().mkpath(m_stateDir))
        return false;
    QFile::setPermissions(m_stateDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QByteArray bytes = value.value_or(QByteArray());
    const QByteArray header = kMagic.toByteArray() + (value ? " 1 " : " 0 ") + QByteArray::number(bytes.size()) + ' ' +
                              QByteArray::number(qChecksum(bytes), 16) + '\n';
    if (overwrite(stateFile(key), header + bytes, sync))
        return true;
    // A state file that cannot take the new value must not be read in its place later.
    QFile::remove(stateFile(key));
    return false;
}
