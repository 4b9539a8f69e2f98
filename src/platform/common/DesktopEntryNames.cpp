#include "platform/common/DesktopEntryNames.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace {

// Packages install several entries at once; one rebuild after the burst is enough.
constexpr int kRebuildDelayMs = 500;

} // namespace

DesktopEntryNames::DesktopEntryNames(QStringList directories, QObject* parent)
    : QObject(parent)
    , m_directories(std::move(directories)) {
    m_rebuild.setSingleShot(true);
    m_rebuild.setInterval(kRebuildDelayMs);
    connect(&m_rebuild, &QTimer::timeout, this, &DesktopEntryNames::rebuild);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &DesktopEntryNames::onDirectoryChanged);
    // A folder's own watch misses an entry rewritten in place; each entry file has a watch of its own.
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_rebuild, qOverload<>(&QTimer::start));
    rebuild();
}

DesktopEntryNames::~DesktopEntryNames() = default;

void DesktopEntryNames::onDirectoryChanged(const QString& path) {
    // A parent stands in for a missing folder and may be busy (the home folder): only the arrival of the
    // next folder on the way counts.
    if (const auto it = m_waitingFor.constFind(path); it != m_waitingFor.constEnd() && !QFileInfo(*it).isDir())
        return;
    m_rebuild.start();
}

void DesktopEntryNames::rebuild() {
    // Watches first, then the reading: a change in between is not lost but brings one more rebuild.
    QStringList watched;
    m_waitingFor.clear();
    for (const QString& directory : std::as_const(m_directories)) {
        if (!QFileInfo(directory).isDir()) {
            // The nearest existing ancestor, to hear the folder's creation however many levels are missing.
            QString missing = QDir::cleanPath(QDir(directory).absolutePath());
            for (QString parent = QFileInfo(missing).path(); parent != missing;
                 missing = parent, parent = QFileInfo(parent).path()) {
                if (QFileInfo(parent).isDir()) {
                    m_waitingFor.insert(parent, missing);
                    watched << parent;
                    break;
                }
            }
            continue;
        }
        watched << directory;
        QDirIterator below(directory, {QStringLiteral("*.desktop")}, QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot,
                           QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (below.hasNext())
            watched << below.next();
    }
    if (const QStringList old = m_watcher.files() + m_watcher.directories(); !old.isEmpty())
        m_watcher.removePaths(old);
    watched.removeDuplicates();
    if (!watched.isEmpty())
        m_watcher.addPaths(watched);
    m_index = DesktopEntryIndex::build(m_directories);
}
