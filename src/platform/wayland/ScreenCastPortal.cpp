#include "platform/wayland/ScreenCastPortal.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QTimer>

#include <qcoro/qcorodbuspendingcall.h>
#include <qcoro/qcorosignal.h>

#include <fcntl.h>

#include <chrono>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
constexpr uint kMonitor = 1;
constexpr uint kCursorEmbedded = 2;
constexpr uint kPersistUntilRevoked = 2;
// How long a listener waits for the answer to a request we gave up on, to close the session it creates.
constexpr std::chrono::minutes kLateAnswerWait{10};

// Request and session objects are named by us; the names must not repeat on one bus connection, which every
// portal client of this process shares.
QString uniqueToken() {
    static int made = 0;
    return QStringLiteral("vantrel%1").arg(++made);
}

QString senderPart(const QDBusConnection& bus) {
    return bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
}

const QString kNoAnswer = QStringLiteral("Screen sharing could not start: the desktop did not answer in time.");
const QString kFailed = QStringLiteral("Screen sharing could not start: the desktop's screen-sharing service failed.");
const QString kNoStream = QStringLiteral("Screen sharing could not reach the desktop's stream.");

bool isMissing(const QString& error) {
    return error == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
           error == u"org.freedesktop.DBus.Error.UnknownMethod" ||
           error == u"org.freedesktop.DBus.Error.UnknownObject" ||
           error == u"org.freedesktop.DBus.Error.UnknownInterface" ||
           error == u"org.freedesktop.DBus.Error.UnknownProperty";
}

bool isSilent(const QString& error) {
    return error == u"org.freedesktop.DBus.Error.NoReply" || error == u"org.freedesktop.DBus.Error.Timeout";
}

void closeSession(const QString& handle) {
    if (!handle.isEmpty())
        QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(kService, handle, kSession, QStringLiteral("Close")));
}

// The answer of one portal request: the Request object's Response signal.  Once the request is given up,
// it lives on for a while and closes the session a late answer would have created.
class Response final : public QObject {
    Q_OBJECT
public:
    explicit Response(QString path)
        : m_path(std::move(path)) {
        QDBusConnection::sessionBus().connect(kService, m_path, kRequest, QStringLiteral("Response"), this,
                                              SLOT(onResponse(uint, QVariantMap)));
    }
    ~Response() override {
        QDBusConnection::sessionBus().disconnect(kService, m_path, kRequest, QStringLiteral("Response"), this,
                                                 SLOT(onResponse(uint, QVariantMap)));
    }
    Q_DISABLE_COPY_MOVE(Response)

    // Hands this over to the event loop: it goes when the answer comes, or after a while.
    void abandon(QString lateSession) {
        if (lateSession.isEmpty()) {
            deleteLater();
            return;
        }
        m_lateSession = std::move(lateSession);
        QTimer::singleShot(kLateAnswerWait, this, &QObject::deleteLater);
    }

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
        if (!m_lateSession.isEmpty()) {
            closeSession(m_lateSession);
            deleteLater();
            return;
        }
        Q_EMIT arrived();
    }

private:
    QString m_path;
    QString m_lateSession;
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

CastSession failed(CastOutcome outcome, QString text) {
    CastSession session;
    session.outcome = outcome;
    session.failure = std::move(text);
    return session;
}

} // namespace

struct ScreenCastPortal::Answer {
    CastOutcome outcome = CastOutcome::Failed;
    QString failure;
    QVariantMap results;
};

ScreenCastPortal::ScreenCastPortal(CastDeadlines deadlines, QObject* parent)
    : QObject(parent)
    , m_deadlines(deadlines) {}

ScreenCastPortal::~ScreenCastPortal() = default;

QString ScreenCastPortal::noPortalText() {
    return QStringLiteral("The screen could not be captured: this desktop offers no screen-sharing portal.");
}

QCoro::Task<QDBusMessage> ScreenCastPortal::call(QDBusMessage message) {
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, int(m_deadlines.reply.count()));
    co_return co_await pending;
}

QCoro::Task<CastOutcome> ScreenCastPortal::availability() {
    if (!QDBusConnection::sessionBus().isConnected())
        co_return CastOutcome::Missing;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kScreenCast << QStringLiteral("AvailableSourceTypes");
    // A read changes nothing: one more try where the first went unanswered.
    QDBusMessage reply = co_await call(get);
    if (reply.type() == QDBusMessage::ErrorMessage && isSilent(reply.errorName()))
        reply = co_await call(get);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        // A portal without a ScreenCast interface answers a read of it with InvalidArgs.
        co_return isSilent(reply.errorName()) ? CastOutcome::NoAnswer
        : isMissing(reply.errorName()) || reply.errorName() == u"org.freedesktop.DBus.Error.InvalidArgs"
            ? CastOutcome::Missing
            : CastOutcome::Failed;
    const uint types = reply.arguments().first().value<QDBusVariant>().variant().toUInt();
    co_return (types & kMonitor) != 0 ? CastOutcome::Started : CastOutcome::Missing;
}

QCoro::Task<ScreenCastPortal::Answer> ScreenCastPortal::request(QString method, QVariantList arguments,
                                                                QVariantMap options, std::chrono::milliseconds wait,
                                                                QString lateSession) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        co_return Answer{CastOutcome::Missing, noPortalText(), {}};
    // The Request object's path is known before the call, so the answer cannot arrive unheard.
    const QString token = uniqueToken();
    options.insert(QStringLiteral("handle_token"), token);
    auto* response =
        new Response(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(senderPart(bus), token));
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
    message.setArguments(arguments << options);
    const QDBusMessage reply = co_await call(message);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // A portal that is there but slow or failing is not "no portal": the user would look for the wrong fix.
        const QString error = reply.errorName();
        if (isMissing(error)) {
            response->abandon({});
            co_return Answer{CastOutcome::Missing, noPortalText(), {}};
        }
        response->abandon(isSilent(error) ? lateSession : QString());
        co_return Answer{
            isSilent(error) ? CastOutcome::NoAnswer : CastOutcome::Failed, isSilent(error) ? kNoAnswer : kFailed, {}};
    }
    if (!response->received)
        co_await qCoro(response, &Response::arrived, wait);
    Answer answer;
    if (!response->received)
        answer = {CastOutcome::NoAnswer, kNoAnswer, {}};
    else if (response->code == 0)
        answer = {CastOutcome::Started, {}, response->results};
    else if (response->code == 1)
        answer = {CastOutcome::Declined, QStringLiteral("Screen sharing was not allowed."), {}};
    else
        answer = {CastOutcome::Failed, kFailed, {}};
    response->abandon(response->received ? QString() : lateSession);
    co_return answer;
}

QCoro::Task<CastSession> ScreenCastPortal::open(QString restoreToken, bool connect) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The session's path follows from its token: it can be closed even where its creation is never answered.
    const QString sessionToken = uniqueToken();
    const QString sessionPath =
        QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2").arg(senderPart(bus), sessionToken);
    // Arguments are named locals: GCC 12 miscompiles string literals inside a co_await expression.
    const QString create = QStringLiteral("CreateSession");
    QVariantMap creation;
    creation.insert(QStringLiteral("session_handle_token"), sessionToken);
    const Answer created = co_await request(create, {}, creation, m_deadlines.answer, sessionPath);
    if (created.outcome != CastOutcome::Started) {
        if (created.outcome != CastOutcome::Missing)
            closeSession(sessionPath);
        co_return failed(created.outcome, created.failure);
    }
    CastSession session;
    session.handle = created.results.value(QStringLiteral("session_handle")).toString();
    if (session.handle.isEmpty())
        session.handle = sessionPath;
    bus.connect(kService, session.handle, kSession, QStringLiteral("Closed"), this,
                SLOT(onSessionClosed(QDBusMessage)));
    // From here every failure closes the session again.
    const auto fail = [this, &session](CastOutcome outcome, QString text) {
        close(session.handle);
        return failed(outcome, std::move(text));
    };

    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kScreenCast << QStringLiteral("AvailableCursorModes");
    const QDBusMessage cursorModes = co_await call(get);
    QVariantMap selection{{QStringLiteral("types"), kMonitor},
                          {QStringLiteral("multiple"), true},
                          {QStringLiteral("persist_mode"), kPersistUntilRevoked}};
    if (cursorModes.type() == QDBusMessage::ReplyMessage && !cursorModes.arguments().isEmpty() &&
        (cursorModes.arguments().first().value<QDBusVariant>().variant().toUInt() & kCursorEmbedded))
        selection.insert(QStringLiteral("cursor_mode"), kCursorEmbedded);
    if (!restoreToken.isEmpty())
        selection.insert(QStringLiteral("restore_token"), restoreToken);
    const QDBusObjectPath handle(session.handle);
    // Some desktops show their dialog while selecting, others while starting: both may wait for the user.
    const QString select = QStringLiteral("SelectSources");
    const QVariantList selectArguments{QVariant::fromValue(handle)};
    const Answer selected = co_await request(select, selectArguments, selection, m_deadlines.dialog, {});
    if (selected.outcome != CastOutcome::Started)
        co_return fail(selected.outcome, selected.failure);

    const QString start = QStringLiteral("Start");
    const QVariantList startArguments{QVariant::fromValue(handle), QString()};
    const Answer started = co_await request(start, startArguments, {}, m_deadlines.dialog, {});
    if (started.outcome != CastOutcome::Started)
        co_return fail(started.outcome, started.failure);
    session.streams = readStreams(started.results.value(QStringLiteral("streams")));
    session.restoreToken = started.results.value(QStringLiteral("restore_token")).toString();
    if (session.streams.isEmpty())
        co_return fail(CastOutcome::Failed, QStringLiteral("Screen sharing started without any display."));

    if (connect) {
        QDBusMessage remote =
            QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
        remote << QVariant::fromValue(handle) << QVariantMap();
        const QDBusMessage opened = co_await call(remote);
        const QDBusUnixFileDescriptor fd = opened.arguments().value(0).value<QDBusUnixFileDescriptor>();
        if (opened.type() != QDBusMessage::ReplyMessage || !fd.isValid())
            co_return fail(isSilent(opened.errorName()) ? CastOutcome::NoAnswer : CastOutcome::Failed, kNoStream);
        session.pipeWireFd = fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
        if (session.pipeWireFd < 0)
            co_return fail(CastOutcome::Failed, kNoStream);
    }
    session.outcome = CastOutcome::Started;
    co_return session;
}

void ScreenCastPortal::close(const QString& handle) {
    QDBusConnection::sessionBus().disconnect(kService, handle, kSession, QStringLiteral("Closed"), this,
                                             SLOT(onSessionClosed(QDBusMessage)));
    closeSession(handle);
}

void ScreenCastPortal::onSessionClosed(const QDBusMessage& message) {
    Q_EMIT sessionClosed(message.path());
}

#include "ScreenCastPortal.moc"
