#pragma once

#include "platform/HostInfo.h"

#include <QDBusConnection>

// The computer's name as the desktop shows it: hostnamed's pretty name, else the kernel's host name.
class HostnameInfo final : public HostInfo {
public:
    explicit HostnameInfo(QDBusConnection systemBus = QDBusConnection::systemBus());

    QString computerName() const override;

private:
    QDBusConnection m_bus;
};
