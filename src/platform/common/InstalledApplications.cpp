#include "platform/common/InstalledApplications.h"

#include <QDirIterator>
#include <QFileInfo>

namespace {

// Packages install several entries at once; one rebuild after the burst is enough.
constexpr int kRebuildDelayMs = 500;

} // namespace

InstalledApplications::InstalledApplications(QObject* parent)
    : QObject(parent)
    , m_directories(DesktopEntryIndex::applicationDirectories()) {
    m_rebuild.setSingleShot(true);
    m_rebuild.setInterval(kRebuildDelayMs);
    connect(&m_rebuild, &QTimer::timeout, this, &InstalledApplications::rebuild);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_rebuild, qOverload<>(&QTimer::start));
    rebuild();
}

void InstalledApplications::rebuild() {
    m_index = DesktopEntryIndex::build(m_directories);
    // Watch every existing directory of the tree, so an entry added in a subdirectory is noticed too.
    QStringList watched;
    for (const QString& directory : std::as_const(m_directories)) {
        if (!QFileInfo(directory).isDir())
            continue;
        watched << directory;
        QDirIterator below(directory, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (below.hasNext())
            watched << below.next();
    }
    if (const QStringList old = m_watcher.directories(); !old.isEmpty())
        m_watcher.removePaths(old);
    if (!watched.isEmpty())
        m_watcher.addPaths(watched);
}
