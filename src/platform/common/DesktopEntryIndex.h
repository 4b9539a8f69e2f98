#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// Display names of the installed applications, from the desktop entries of the XDG data directories,
// keyed for a window's WM_CLASS: by StartupWMClass and by file name, both case-insensitive.  Entries of the
// user's own directory come first, then the system ones in XDG order, as the desktop ranks them.
class DesktopEntryIndex final {
public:
    // $XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS/applications.
    static QStringList applicationDirectories();

    // Reads every entry below `directories` (recursively).
    static DesktopEntryIndex build(const QStringList& directories);

    std::optional<QString> nameFor(const QString& windowClass) const;
    bool isEmpty() const { return m_byWindowClass.isEmpty() && m_byFileName.isEmpty(); }

private:
    void add(const QString& path, const QString& fileName);

    QHash<QString, QString> m_byWindowClass;
    QHash<QString, QString> m_byFileName;
};
