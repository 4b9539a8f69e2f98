#pragma once

#include "platform/FrontmostApp.h"
#include "platform/common/InstalledApplications.h"
#include "platform/x11/XcbSupport.h"

#include <QObject>

// The application of the window the window manager reports as active (_NET_ACTIVE_WINDOW), named by its
// desktop entry, else by its WM_CLASS class.  A query costs two X round trips and no disk access.
class X11FrontmostApp final : public QObject, public FrontmostApp {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(X11FrontmostApp)

public:
    explicit X11FrontmostApp(QObject* parent = nullptr);
    ~X11FrontmostApp() override;

    std::optional<QString> name() override;

private:
    bool connectToDisplay();

    xcb::Connection m_connection;
    quint32 m_root = 0;
    quint32 m_activeWindowAtom = 0;
    InstalledApplications m_applications;
};
