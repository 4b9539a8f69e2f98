#pragma once

#include "platform/common/DesktopEntryIndex.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QTimer>

// The display names of the desktop entries, kept current while the agent runs: the index is read again
// shortly after an entry is added, removed or rewritten in place, or an application folder appears.
class DesktopEntryNames final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopEntryNames)

public:
    explicit DesktopEntryNames(QStringList directories = DesktopEntryIndex::applicationDirectories(),
                               QObject* parent = nullptr);
    ~DesktopEntryNames() override;

    std::optional<QString> nameFor(const QString& windowClass) const { return m_index.nameFor(windowClass); }

private:
    void rebuild();
    void onDirectoryChanged(const QString& path);

    QStringList m_directories;
    DesktopEntryIndex m_index;
    QFileSystemWatcher m_watcher;
    // For each folder watched in place of a missing one: its child on the way to the missing folder.
    QHash<QString, QString> m_waitingFor;
    QTimer m_rebuild;
};
