#include "platform/wayland/ScreenCastPortal.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <qcoro/qcorodbuspendingcall.h>
#include <qcoro/qcorosignal.h>

#include <fcntl.h>

#include <chrono>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
constexpr uint kMonitor = 1;
constexpr uint kCursorEmbedded = 2;
constexpr uint kPersistUntilRevoked = 2;
// The user may take their time over the dialog; a portal that never answers must not hold clock-in forever.
constexpr std::chrono::minutes kResponseWait{3};

// Request and session objects are named by us; the names must not repeat on one bus connection, which every
// portal client of this process shares.
QString uniqueToken() {
    static int made = 0;
    return QStringLiteral("vantrel%1").arg(++made);
}

const QString kNoPortal =
    QStringLiteral("The screen could not be captured: this desktop offers no screen-sharing portal.");

// The answer of one portal request: the Request object's Response signal.
class Response final : public QObject {
    Q_OBJECT
public:
    bool received = false;
    uint code = 2;
    QVariantMap results;
Q_SIGNALS:
    void arrived();
public Q_SLOTS:
    void onResponse(uint response, const QVariantMap& values) {
        received = true;
        code = response;
        results = values;
        Q_EMIT arrived();
    }
};

template <typename T> T readStruct(const QVariant& value, T fallback) {
    if (!value.canConvert<QDBusArgument>())
        return fallback;
    const QDBusArgument argument = value.value<QDBusArgument>();
    int first = 0;
    int second = 0;
    argument.beginStructure();
    argument >> first >> second;
    argument.endStructure();
    return T(first, second);
}

QList<CastStream> readStreams(const QVariant& value) {
    QList<CastStream> streams;
    if (!value.canConvert<QDBusArgument>())
        return streams;
    const QDBusArgument argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        CastStream stream;
        QVariantMap properties;
        argument.beginStructure();
        argument >> stream.node >> properties;
        argument.endStructure();
        stream.position = readStruct(properties.value(QStringLiteral("position")), QPoint());
        stream.size = readStruct(properties.value(QStringLiteral("size")), QSize());
        stream.id = properties.value(QStringLiteral("id")).toString();
        streams.append(stream);
    }
    argument.endArray();
    return streams;
}

} // namespace

ScreenCastPortal::ScreenCastPortal(QObject* parent)
    : QObject(parent) {}

ScreenCastPortal::~ScreenCastPortal() = default;

bool ScreenCastPortal::answers() const {
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kScreenCast << QStringLiteral("AvailableSourceTypes");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return (reply.arguments().first().value<QDBusVariant>().variant().toUInt() & kMonitor) != 0;
}

QCoro::Task<Result<QVariantMap>> ScreenCastPortal::request(QString method, QVariantList arguments,
                                                           QVariantMap options) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        co_return Error::platform(kNoPortal);
    // The Request object's path is known before the call, so the answer cannot arrive unheard.
    const QString token = uniqueToken();
    const QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    options.insert(QStringLiteral("handle_token"), token);
    Response response;
    bus.connect(kService, path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"), &response,
                SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
    call.setArguments(arguments << options);
    const QDBusMessage reply = co_await bus.asyncCall(call, -1);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        bus.disconnect(kService, path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                       &response, SLOT(onResponse(uint, QVariantMap)));
        // A portal that is there but slow or failing is not "no portal": the user would look for the wrong fix.
        const QString error = reply.errorName();
        const bool missing = error == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
                             error == u"org.freedesktop.DBus.Error.UnknownMethod" ||
                             error == u"org.freedesktop.DBus.Error.UnknownObject" ||
                             error == u"org.freedesktop.DBus.Error.UnknownInterface";
        const bool silent =
            error == u"org.freedesktop.DBus.Error.NoReply" || error == u"org.freedesktop.DBus.Error.Timeout";
        co_return Error::platform(missing ? kNoPortal
                                  : silent
                                      ? QStringLiteral("Screen sharing could not start: the desktop did not answer.")
                                      : QStringLiteral("Screen sharing could not start: the desktop refused it."));
    }
    if (!response.received)
        co_await qCoro(&response, &Response::arrived, kResponseWait);
    bus.disconnect(kService, path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                   &response, SLOT(onResponse(uint, QVariantMap)));
    if (!response.received)
        co_return Error::platform(QStringLiteral("Screen sharing could not start: the desktop did not answer."));
    if (response.code == 1)
        co_return Error::platform(QStringLiteral("Screen sharing was not allowed."));
    if (response.code != 0)
        co_return Error::platform(QStringLiteral("Screen sharing could not start: the desktop refused it."));
    co_return response.results;
}

QCoro::Task<Result<CastSession>> ScreenCastPortal::open(QString restoreToken) {
    // Arguments are named locals: GCC 12 miscompiles string literals inside a co_await expression.
    const QString create = QStringLiteral("CreateSession");
    QVariantMap creation;
    creation.insert(QStringLiteral("session_handle_token"), uniqueToken());
    const Result<QVariantMap> created = co_await request(create, {}, creation);
    if (!created)
        co_return created.error();
    const QString sessionKey = QStringLiteral("session_handle");
    CastSession session;
    session.handle = created->value(sessionKey).toString();
    if (session.handle.isEmpty())
        co_return Error::platform(kNoPortal);
    QDBusConnection::sessionBus().connect(kService, session.handle, kSession, QStringLiteral("Closed"), this,
                                          SLOT(onSessionClosed(QDBusMessage)));
    // From here every failure closes the session again.
    const auto fail = [this, &session](Error error) {
        close(session.handle);
        return error;
    };

    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kScreenCast << QStringLiteral("AvailableCursorModes");
    const QDBusMessage cursorModes = co_await QDBusConnection::sessionBus().asyncCall(get);
    QVariantMap selection{{QStringLiteral("types"), kMonitor},
                          {QStringLiteral("multiple"), true},
                          {QStringLiteral("persist_mode"), kPersistUntilRevoked}};
    if (cursorModes.type() == QDBusMessage::ReplyMessage && !cursorModes.arguments().isEmpty() &&
        (cursorModes.arguments().first().value<QDBusVariant>().variant().toUInt() & kCursorEmbedded))
        selection.insert(QStringLiteral("cursor_mode"), kCursorEmbedded);
    if (!restoreToken.isEmpty())
        selection.insert(QStringLiteral("restore_token"), restoreToken);
    const QDBusObjectPath handle(session.handle);
    const QString select = QStringLiteral("SelectSources");
    const QVariantList selectArguments{QVariant::fromValue(handle)};
    const Result<QVariantMap> selected = co_await request(select, selectArguments, selection);
    if (!selected)
        co_return fail(selected.error());

    const QString start = QStringLiteral("Start");
    const QVariantList startArguments{QVariant::fromValue(handle), QString()};
    const Result<QVariantMap> started = co_await request(start, startArguments, {});
    if (!started)
        co_return fail(started.error());
    session.streams = readStreams(started->value(QStringLiteral("streams")));
    session.restoreToken = started->value(QStringLiteral("restore_token")).toString();
    if (session.streams.isEmpty())
        co_return fail(Error::platform(QStringLiteral("Screen sharing started without any display.")));

    QDBusMessage remote =
        QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    remote << QVariant::fromValue(handle) << QVariantMap();
    const QDBusMessage opened = co_await QDBusConnection::sessionBus().asyncCall(remote);
    const QDBusUnixFileDescriptor fd = opened.arguments().value(0).value<QDBusUnixFileDescriptor>();
    if (opened.type() != QDBusMessage::ReplyMessage || !fd.isValid())
        co_return fail(Error::platform(QStringLiteral("Screen sharing could not reach the desktop's stream.")));
    session.pipeWireFd = fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
    if (session.pipeWireFd < 0)
        co_return fail(Error::platform(QStringLiteral("Screen sharing could not reach the desktop's stream.")));
    co_return session;
}

void ScreenCastPortal::close(const QString& handle) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kService, handle, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QDBusMessage)));
    bus.asyncCall(QDBusMessage::createMethodCall(kService, handle, kSession, QStringLiteral("Close")));
}

void ScreenCastPortal::onSessionClosed(const QDBusMessage& message) {
    Q_EMIT sessionClosed(message.path());
}

#include "ScreenCastPortal.moc"
