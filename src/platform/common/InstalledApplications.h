#pragma once

#include "platform/common/DesktopEntryIndex.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

// The desktop entries of the installed applications, read once and again only after one of their
// directories changed, so that naming the frontmost application costs no disk access.
class InstalledApplications final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InstalledApplications)

public:
    explicit InstalledApplications(QObject* parent = nullptr);

    // The display name for a window's class (X11) or application id (Wayland).
    std::optional<QString> nameFor(const QString& windowClass) const { return m_index.nameFor(windowClass); }

private:
    void rebuild();

    QStringList m_directories;
    DesktopEntryIndex m_index;
    QFileSystemWatcher m_watcher;
    QTimer m_rebuild;
};
