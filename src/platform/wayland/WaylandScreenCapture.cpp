#include "platform/wayland/WaylandScreenCapture.h"

#include "platform/wayland/PipeWireStreams.h"
#include "platform/wayland/ScreenCastPortal.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QScreen>
#include <QtConcurrent/QtConcurrent>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>

namespace {

// One token per portal session: some desktops share one display per session, others all of them at once.
const QString kTokensKey = QStringLiteral("screenCastTokens");
// A compositor sends a frame only when the screen changes; a fresh stream of a still screen may take a while.
constexpr std::chrono::milliseconds kFirstFrameWait{5000};
constexpr std::chrono::milliseconds kFramePoll{50};

const QString kEnded = QStringLiteral(
    "Screen sharing ended: a display was disconnected or sharing was turned off in the system settings.");

// One display of an open session.
struct SharedDisplay {
    DisplayInfo info;
    QPoint position;
    qsizetype stream = 0; // index in its session's PipeWire streams
    std::shared_ptr<PipeWireStreams> frames;
};

// How many displays the desktop has, as far as this process can tell.
qsizetype screenCount() {
    return qGuiApp ? std::max<qsizetype>(1, QGuiApplication::screens().size()) : 1;
}

} // namespace

struct WaylandScreenCapture::State {
    std::shared_ptr<Defaults> defaults;
    QObject context; // receives the streams' news on the main thread
    ScreenCastPortal portal;
    QStringList sessions; // portal handles of the open session
    QList<SharedDisplay> displays;
    std::function<void(QString)> ended;
    bool requesting = false;

    QStringList tokens() const {
        QStringList list;
        const QJsonArray stored = QJsonDocument::fromJson(defaults->data(kTokensKey).value_or(QByteArray())).array();
        for (const QJsonValue& token : stored)
            if (!token.toString().isEmpty())
                list.append(token.toString());
        return list;
    }
    void setTokens(const QStringList& list) {
        if (list.isEmpty())
            defaults->remove(kTokensKey);
        else
            defaults->setData(kTokensKey,
                              QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact));
    }

    // Streams ended under us: every capture from now on fails, and the tracker hears of it once.
    void lose() {
        if (!ended)
            return;
        for (SharedDisplay& display : displays)
            display.frames.reset();
        const std::function<void(QString)> tell = std::exchange(ended, nullptr);
        tell(kEnded);
    }

    void close() {
        ended = nullptr;
        displays.clear();
        for (const QString& handle : std::as_const(sessions))
            portal.close(handle);
        sessions.clear();
    }

    // Opens one portal session from a token (a dialog where the token is empty) and adds its displays.
    QCoro::Task<Result<>> add(QString token, QStringList& newTokens);
};

QCoro::Task<Result<>> WaylandScreenCapture::State::add(QString token, QStringList& newTokens) {
    Result<CastSession> opened = co_await portal.open(token);
    if (!opened)
        co_return opened.error();
    const CastSession session = std::move(*opened);
    QList<quint32> nodes;
    for (const CastStream& stream : session.streams)
        nodes.append(stream.node);
    std::shared_ptr<PipeWireStreams> frames =
        PipeWireStreams::open(session.pipeWireFd, nodes, &context, [this] { lose(); });
    if (!frames) {
        portal.close(session.handle);
        co_return Error::platform(QStringLiteral("Screen sharing could not reach the desktop's stream."));
    }
    sessions.append(session.handle);
    for (qsizetype i = 0; i < session.streams.size(); ++i) {
        const CastStream& stream = session.streams[i];
        // Some portals place every display at the origin: two of one size then differ by their turn, which
        // the order of the stored tokens keeps from one start to the next.
        int occurrence = 0;
        quint32 id = 0;
        do
            id = WaylandScreenCapture::displayId(stream.position, stream.size, stream.id, occurrence++);
        while (std::any_of(displays.begin(), displays.end(), [id](const SharedDisplay& d) { return d.info.id == id; }));
        displays.append({{id, stream.size.width(), stream.size.height()}, stream.position, i, frames});
    }
    newTokens.append(session.restoreToken.isEmpty() ? token : session.restoreToken);
    co_return Result<>{};
}

WaylandScreenCapture::WaylandScreenCapture(std::shared_ptr<Defaults> defaults)
    : m_state(std::make_shared<State>()) {
    m_state->defaults = std::move(defaults);
    QObject::connect(&m_state->portal, &ScreenCastPortal::sessionClosed, &m_state->context,
                     [state = m_state.get()](const QString& handle) {
                         if (state->sessions.contains(handle))
                             state->lose();
                     });
    // Some portals keep a stream of an unplugged display open and merely stop sending frames: the display
    // leaving the desktop ends capture just the same.
    if (qGuiApp)
        QObject::connect(qGuiApp, &QGuiApplication::screenRemoved, &m_state->context, [state = m_state.get()] {
            if (!state->sessions.isEmpty())
                state->lose();
        });
}

WaylandScreenCapture::~WaylandScreenCapture() {
    m_state->close();
}

quint32 WaylandScreenCapture::displayId(QPoint position, QSize size, const QString& portalId, int occurrence) {
    // FNV-1a over what the portal tells of the display: the same layout gives the same ids after a restart.
    QByteArray key =
        QStringLiteral("%1,%2,%3x%4").arg(position.x()).arg(position.y()).arg(size.width()).arg(size.height()).toUtf8();
    if (!portalId.isEmpty())
        key += '|' + portalId.toUtf8();
    if (occurrence > 0)
        key += '#' + QByteArray::number(occurrence);
    quint32 hash = 2166136261u;
    for (const char byte : std::as_const(key))
        hash = (hash ^ quint8(byte)) * 16777619u;
    return hash;
}

bool WaylandScreenCapture::isCaptureAllowed() {
    if (!m_state->sessions.isEmpty())
        return true;
    return !m_state->tokens().isEmpty() && m_state->portal.answers();
}

void WaylandScreenCapture::requestCaptureAccess() {
    if (m_state->requesting)
        return;
    m_state->requesting = true;
    // The desktop's dialog, once per display where it shares one at a time, until every display is shared
    // or the user declines.  The sessions close again: clock-in opens its own from the tokens.
    [](std::shared_ptr<State> state) -> QCoro::Task<> {
        State scratch;
        scratch.defaults = state->defaults;
        QStringList tokens;
        while (scratch.displays.size() < screenCount()) {
            const Result<> added = co_await scratch.add(QString(), tokens);
            if (!added)
                break;
        }
        scratch.close();
        if (!tokens.isEmpty())
            state->setTokens(tokens);
        state->requesting = false;
    }(m_state);
}

QString WaylandScreenCapture::accessInstructions() const {
    return QStringLiteral(
        "Allow screen sharing for Vantrel in the dialog that opened, then clock in again. Tracking has not started.");
}

QCoro::Task<Result<>> WaylandScreenCapture::beginSession(std::function<void(QString reason)> ended) {
    const std::shared_ptr<State> state = m_state;
    state->close();
    QStringList renewed;
    for (const QString& token : state->tokens()) {
        const Result<> added = co_await state->add(token, renewed);
        if (!added) {
            state->close();
            // A refused restore means the user withdrew the approval: the next clock-in asks again.
            state->setTokens({});
            co_return Error::platform(added.error().description() +
                                      QStringLiteral(" Clock in again to choose the screens to share."));
        }
    }
    if (state->displays.isEmpty())
        co_return Error::platform(QStringLiteral("Screen sharing started without any display."));
    // Some desktops honour a token once: the ones returned now replace the stored ones.
    state->setTokens(renewed);
    std::stable_sort(state->displays.begin(), state->displays.end(),
                     [](const SharedDisplay& a, const SharedDisplay& b) {
                         return std::pair(a.position.x(), a.position.y()) < std::pair(b.position.x(), b.position.y());
                     });
    state->ended = std::move(ended);
    co_return Result<>{};
}

void WaylandScreenCapture::endSession() {
    m_state->close();
}

QCoro::Task<Result<QList<DisplayInfo>>> WaylandScreenCapture::displays() {
    if (m_state->displays.isEmpty())
        co_return Error::platform(QStringLiteral("The screen could not be captured: screen sharing is not open."));
    QList<DisplayInfo> list;
    for (const SharedDisplay& display : std::as_const(m_state->displays))
        list.append(display.info);
    co_return list;
}

QCoro::Task<Result<QImage>> WaylandScreenCapture::capture(DisplayInfo display, QSize size) {
    if (size.isEmpty())
        co_return Error::platform(QStringLiteral("The screen could not be captured: the requested size is empty."));
    const std::shared_ptr<State> state = m_state;
    const auto find = [&state, id = display.id]() -> std::shared_ptr<PipeWireStreams> {
        for (const SharedDisplay& d : std::as_const(state->displays))
            if (d.info.id == id && d.frames && d.frames->isAlive())
                return d.frames;
        return nullptr;
    };
    qsizetype index = 0;
    for (const SharedDisplay& d : std::as_const(state->displays))
        if (d.info.id == display.id)
            index = d.stream;
    QImage frame;
    for (auto waited = std::chrono::milliseconds(0);; waited += kFramePoll) {
        const std::shared_ptr<PipeWireStreams> frames = find();
        if (!frames)
            co_return Error::platform(kEnded);
        frame = frames->latest(index);
        if (!frame.isNull() || waited >= kFirstFrameWait)
            break;
        QTimer timer;
        timer.start(kFramePoll);
        co_await timer;
    }
    if (frame.isNull())
        co_return Error::platform(
            QStringLiteral("The screen could not be captured: the desktop sent no picture of a display."));
    // The frame is shared with the stream, never written: scaling makes the one new image.
    QFuture<QImage> scaling = QtConcurrent::run([frame, size] {
        QImage image =
            frame.size() == size ? frame : frame.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        return image.convertToFormat(QImage::Format_RGB32);
    });
    co_return co_await scaling;
}
