#include "platform/common/DesktopEntryIndex.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>

QStringList DesktopEntryIndex::applicationDirectories() {
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.local/share");
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share:/usr/share");
    QStringList directories{home + QStringLiteral("/applications")};
    for (const QString& dir : system.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        directories << dir + QStringLiteral("/applications");
    directories.removeDuplicates();
    return directories;
}

DesktopEntryIndex DesktopEntryIndex::build(const QStringList& directories) {
    DesktopEntryIndex index;
    for (const QString& directory : directories) {
        QDirIterator entries(directory, {QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable,
                             QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (entries.hasNext()) {
            entries.next();
            index.add(entries.filePath(), entries.fileName());
        }
    }
    return index;
}

void DesktopEntryIndex::add(const QString& path, const QString& fileName) {
    QFile file(path);
    // Desktop entries are a few hundred bytes; anything far larger is not one.
    if (file.size() > 1024 * 1024 || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QString name;
    QString windowClass;
    bool inMainGroup = false;
    bool hidden = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Name"))
            name = value;
        else if (key == QLatin1String("StartupWMClass"))
            windowClass = value;
        else if (key == QLatin1String("Hidden"))
            hidden = value == QLatin1String("true");
    }
    // A hidden entry is the user's way of deleting a system one: it hides that one too.
    const QString stem = fileName.chopped(int(sizeof(".desktop") - 1)).toCaseFolded();
    if (hidden) {
        if (!m_byFileName.contains(stem))
            m_byFileName.insert(stem, QString());
        return;
    }
    if (name.isEmpty())
        return;
    if (!windowClass.isEmpty() && !m_byWindowClass.contains(windowClass.toCaseFolded()))
        m_byWindowClass.insert(windowClass.toCaseFolded(), name);
    if (!m_byFileName.contains(stem))
        m_byFileName.insert(stem, name);
}

std::optional<QString> DesktopEntryIndex::nameFor(const QString& windowClass) const {
    const QString key = windowClass.toCaseFolded();
    if (const auto it = m_byWindowClass.constFind(key); it != m_byWindowClass.constEnd())
        return *it;
    if (const auto it = m_byFileName.constFind(key); it != m_byFileName.constEnd() && !it->isEmpty())
        return *it;
    return std::nullopt;
}
