#include "platform/wayland/GnomeShellActivity.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {

const QString kService = QStringLiteral("org.vantrel.Shell");
const QString kPath = QStringLiteral("/org/vantrel/Shell");
const QString kInterface = QStringLiteral("org.vantrel.Shell1");
const QString kShell = QStringLiteral("org.gnome.Shell");
const QString kExtensions = QStringLiteral("org.gnome.Shell.Extensions");

// GNOME Shell's extension states (org.gnome.Shell.Extensions).
enum ExtensionState { Enabled = 1, Disabled = 2, Error = 3, OutOfDate = 4, Initialized = 6 };

QDBusMessage activityCall(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

QDBusMessage extensionsCall(const QString& method, const QString& uuid) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(kShell, QStringLiteral("/org/gnome/Shell"), kExtensions, method);
    message.setArguments({uuid});
    return message;
}

// Runs `done` with the reply once it arrives; never blocks.
template <typename Done>
void whenAnswered(QDBusConnection& bus, const QDBusMessage& message, QObject* context, Done done) {
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [done](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        done(QDBusMessage(call->reply()));
    });
}

} // namespace

const QString GnomeShellActivity::kModuleUuid = QStringLiteral("activity@vantrel.org");
const QString GnomeShellActivity::kLegacyUuid = QStringLiteral("legacy@vantrel.org");

GnomeShellActivity::GnomeShellActivity(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus)) {
    if (!m_bus.isConnected()) {
        report(QStringLiteral("there is no session bus"));
        return;
    }
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("FocusChanged"), this,
                  SLOT(onFocusChanged(QString, uint, QString)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("PointerActivity"), this,
                  SLOT(onPointerActivity(uint, uint)));
    m_watcher = new QDBusServiceWatcher(
        kService, m_bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &GnomeShellActivity::onExtensionAppeared);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &GnomeShellActivity::onExtensionVanished);
    // Whether it already runs: GetFocus answers if so.
    askForFocus();
}

GnomeShellActivity::~GnomeShellActivity() {
    if (!m_pointer.isEmpty())
        m_bus.send(activityCall(QStringLiteral("UnwatchPointer")));
}

std::optional<QString> GnomeShellActivity::name() {
    if (m_appId.isEmpty())
        return std::nullopt;
    QString id = m_appId;
    if (id.endsWith(u".desktop"))
        id.chop(int(sizeof(".desktop") - 1));
    return m_names.nameFor(id).value_or(id);
}

MouseMonitor::Token GnomeShellActivity::watchPointer(MouseMonitor::Handler handler) {
    const bool first = m_pointer.isEmpty();
    const MouseMonitor::Token token = m_pointer.add(std::move(handler));
    if (first)
        m_bus.send(activityCall(QStringLiteral("WatchPointer")));
    return token;
}

void GnomeShellActivity::unwatchPointer(MouseMonitor::Token token) {
    m_pointer.remove(token);
    if (m_pointer.isEmpty())
        m_bus.send(activityCall(QStringLiteral("UnwatchPointer")));
}

void GnomeShellActivity::onFocusChanged(const QString& appId, uint, const QString&) {
    if (appId == m_appId)
        return;
    m_appId = appId;
    Q_EMIT focusChanged();
}

void GnomeShellActivity::onPointerActivity(uint moves, uint clicks) {
    // One batch per second at most: delivered as the single events the X11 source would have delivered.
    for (uint i = 0; i < moves && !m_pointer.isEmpty(); ++i)
        m_pointer.deliver(MouseMonitor::MouseMoved);
    for (uint i = 0; i < clicks && !m_pointer.isEmpty(); ++i)
        m_pointer.deliver(MouseMonitor::LeftMouseDown);
}

void GnomeShellActivity::onExtensionAppeared() {
    if (!m_problem.isEmpty())
        qInfo("GNOME Shell: the Vantrel extension is running; applications are named again");
    m_problem.clear();
    // A shell that restarted, or an extension switched off and on, has forgotten who counts.
    if (!m_pointer.isEmpty())
        m_bus.send(activityCall(QStringLiteral("WatchPointer")));
    askForFocus();
}

void GnomeShellActivity::onExtensionVanished() {
    if (!m_appId.isEmpty()) {
        m_appId.clear();
        Q_EMIT focusChanged();
    }
    checkInstalled();
}

void GnomeShellActivity::askForFocus() {
    whenAnswered(m_bus, activityCall(QStringLiteral("GetFocus")), this, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 3) {
            checkInstalled();
            return;
        }
        m_problem.clear();
        onFocusChanged(reply.arguments().at(0).toString(), reply.arguments().at(1).toUInt(),
                       reply.arguments().at(2).toString());
    });
}

void GnomeShellActivity::checkInstalled() {
    // Both forms are asked about; the shell marks the one not meant for its version out of date.
    struct Answers {
        int pending = 2;
        bool failed = false;
        QHash<QString, QVariantMap> infos;
    };
    auto answers = std::make_shared<Answers>();
    for (const QString& uuid : {kModuleUuid, kLegacyUuid}) {
        whenAnswered(m_bus, extensionsCall(QStringLiteral("GetExtensionInfo"), uuid), this,
                     [this, uuid, answers](const QDBusMessage& reply) {
                         if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                             answers->infos.insert(uuid, qdbus_cast<QVariantMap>(reply.arguments().constFirst()));
                         else
                             answers->failed = true;
                         if (--answers->pending == 0)
                             judgeInstalled(answers->failed, answers->infos);
                     });
    }
}

void GnomeShellActivity::judgeInstalled(bool failed, const QHash<QString, QVariantMap>& infos) {
    if (failed) {
        report(QStringLiteral("GNOME Shell did not answer on %1").arg(kExtensions));
        return;
    }
    QString uuid;
    int state = 0;
    QString error;
    bool outOfDate = false;
    for (auto it = infos.cbegin(); it != infos.cend(); ++it) {
        const int itsState = it->value(QStringLiteral("state")).toInt();
        if (itsState == OutOfDate) {
            outOfDate = true;
        } else if (itsState != 0) {
            uuid = it.key();
            state = itsState;
            error = it->value(QStringLiteral("error")).toString();
        }
    }
    if (uuid.isEmpty() && outOfDate)
        report(QStringLiteral("the Vantrel extension does not support this GNOME Shell version"));
    else if (uuid.isEmpty())
        report(QStringLiteral("the Vantrel GNOME Shell extension is not installed (one installed during this "
                              "session loads at the next login)"));
    else if (state == Error)
        report(QStringLiteral("the Vantrel GNOME Shell extension failed: %1").arg(error));
    else if ((state == Disabled || state == Initialized) && !m_enableAsked) {
        // Once per run: a user who switches it off again is not overruled until the next start.
        m_enableAsked = true;
        report(QStringLiteral("the Vantrel GNOME Shell extension was off; switching it on"));
        m_bus.send(extensionsCall(QStringLiteral("EnableExtension"), uuid));
    } else if (state == Disabled || state == Initialized)
        report(QStringLiteral("the Vantrel GNOME Shell extension is switched off"));
}

void GnomeShellActivity::report(const QString& problem) {
    if (problem == m_problem)
        return;
    m_problem = problem;
    qWarning("GNOME Shell: %s: applications are reported as \"Unknown app\", pointer moves as 0", qPrintable(problem));
}

GnomeMouseMonitor::GnomeMouseMonitor(std::shared_ptr<MouseMonitor> idle, std::shared_ptr<GnomeShellActivity> shell)
    : m_idle(std::move(idle))
    , m_shell(std::move(shell)) {}

std::optional<MouseMonitor::Token> GnomeMouseMonitor::install(Handler handler) {
    if (!handler)
        return std::nullopt;
    Installed installed{m_idle->install(handler), m_shell->watchPointer(handler)};
    const Token token = m_next++;
    m_installed.emplace(token, installed);
    return token;
}

void GnomeMouseMonitor::remove(Token token) {
    const auto it = m_installed.find(token);
    if (it == m_installed.end())
        return;
    const Installed installed = it->second;
    m_installed.erase(it);
    if (installed.idle)
        m_idle->remove(*installed.idle);
    m_shell->unwatchPointer(installed.pointer);
}
