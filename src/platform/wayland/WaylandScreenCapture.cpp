#include "platform/wayland/WaylandScreenCapture.h"

#include "platform/wayland/PipeWireStreams.h"
#include "platform/wayland/ScreenCastPortal.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrent>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>

#include <malloc.h>
#include <unistd.h>

namespace {

// One token per portal session: some desktops share one display per session, others all of them at once.
const QString kTokensKey = QStringLiteral("screenCastTokens");
constexpr std::chrono::milliseconds kFramePoll{50};
// A capture between a resolution change and the first frame at the new size waits this long.
constexpr std::chrono::milliseconds kRenegotiationWait{10000};
constexpr std::chrono::milliseconds kTrimAfterCapture{5000};

const QString kEnded = QStringLiteral(
    "Screen sharing ended: a display was disconnected or sharing was turned off in the system settings.");
const QString kStarting = QStringLiteral("Starting screen sharing…");

// One display of an open session.
struct SharedDisplay {
    DisplayInfo info;
    QPoint position;
    qsizetype stream = 0; // index in its session's PipeWire streams
    std::shared_ptr<PipeWireStreams> frames;
    QString session; // the portal handle it came with
};

// A started portal session whose PipeWire streams are not connected yet.
struct UnconnectedSession {
    QString handle;
    int pipeWireFd = -1;
    QList<quint32> nodes;
};

// How many displays the desktop has, as far as this process can tell.
qsizetype screenCount() {
    return qGuiApp ? std::max<qsizetype>(1, QGuiApplication::screens().size()) : 1;
}

QCoro::Task<> pause(std::chrono::milliseconds wait) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(wait);
    co_await timer;
}

} // namespace

struct WaylandScreenCapture::State {
    explicit State(const CastDeadlines& deadlines)
        : portal(deadlines) {}

    std::shared_ptr<Defaults> defaults;
    std::chrono::milliseconds firstFrameWait{};
    QObject context; // receives the streams' news on the main thread
    ScreenCastPortal portal;
    QStringList sessions; // portal handles of the open session
    QList<SharedDisplay> displays;
    QList<UnconnectedSession> unconnected;
    std::function<void(QString)> ended;
    bool requesting = false;
    CastOutcome availability = CastOutcome::Started; // the portal as the last check found it
    bool newDisplayDeclined = false;                 // this clock-in asked for a new display in vain
    qsizetype lastDisplayCount = 0;                  // displays shared at the last clock-in

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
        const bool open = !displays.isEmpty();
        displays.clear();
        for (const UnconnectedSession& session : std::as_const(unconnected))
            ::close(session.pipeWireFd);
        unconnected.clear();
        for (const QString& handle : std::as_const(sessions))
            portal.close(handle);
        sessions.clear();
        // The streams' buffers and the last capture's pictures are gone: the heap shrinks back to idle.
        if (open)
            malloc_trim(0);
    }

    // Opens one portal session from a token (a dialog where the token is empty) and adds its displays; a
    // session with displays already shared adds only the others where `onlyNew`.
    QCoro::Task<CastSession> add(QString token, bool onlyNew);
    // A session that added no display: closed at once.
    void drop(const QString& handle) {
        sessions.removeOne(handle);
        for (qsizetype i = unconnected.size() - 1; i >= 0; --i)
            if (unconnected[i].handle == handle)
                ::close(unconnected.takeAt(i).pipeWireFd);
        portal.close(handle);
    }
    // Streams connect only once every session of the clock-in is open.  xdg-desktop-portal-wlr blocks for
    // good when the frames of a stream of ours arrive while it answers the start of the next session, so
    // no stream runs while a portal call does.
    bool connectStreams() {
        for (UnconnectedSession& session : unconnected) {
            std::shared_ptr<PipeWireStreams> frames = PipeWireStreams::open(
                std::exchange(session.pipeWireFd, -1), session.nodes, &context, [this] { lose(); });
            if (!frames)
                return false;
            for (SharedDisplay& display : displays)
                if (display.session == session.handle)
                    display.frames = frames;
        }
        unconnected.clear();
        return true;
    }
    // Opens the sessions of the stored approvals and, where `askForNew`, the dialog for a display connected
    // since; the tokens they return replace the stored ones.
    QCoro::Task<Result<>> restore(bool askForNew);
    QCoro::Task<Result<>> awaitFirstFrames();
    bool stalled = false; // the last wait for first pictures ran out with every stream still open
};

QCoro::Task<CastSession> WaylandScreenCapture::State::add(QString token, bool onlyNew) {
    CastSession session = co_await portal.open(token, true);
    // A restore that went unanswered is tried once more, the first session closed by then.  Not a failure:
    // a desktop that shows its dialog for a token it no longer knows answers a declined dialog so.
    if (!token.isEmpty() && session.outcome == CastOutcome::NoAnswer)
        session = co_await portal.open(token, true);
    if (!session.started())
        co_return session;
    QList<quint32> nodes;
    for (const CastStream& stream : std::as_const(session.streams))
        nodes.append(stream.node);
    unconnected.append({session.handle, std::exchange(session.pipeWireFd, -1), nodes});
    sessions.append(session.handle);
    const auto taken = [this](quint32 id) {
        return std::any_of(displays.begin(), displays.end(), [id](const SharedDisplay& d) { return d.info.id == id; });
    };
    for (qsizetype i = 0; i < session.streams.size(); ++i) {
        const CastStream& stream = session.streams[i];
        const bool placed = !stream.position.isNull() || !stream.id.isEmpty();
        if (onlyNew && placed && taken(WaylandScreenCapture::displayId(stream.position, stream.size, stream.id)))
            continue;
        // Some portals place every display at the origin: two of one size then differ by their turn, which
        // the order of the stored tokens keeps from one start to the next.
        int occurrence = 0;
        quint32 id = 0;
        do
            id = WaylandScreenCapture::displayId(stream.position, stream.size, stream.id, occurrence++);
        while (taken(id));
        displays.append({{id, stream.size.width(), stream.size.height()}, stream.position, i, nullptr, session.handle});
    }
    if (session.restoreToken.isEmpty())
        session.restoreToken = token;
    co_return session;
}

QCoro::Task<Result<>> WaylandScreenCapture::State::awaitFirstFrames() {
    stalled = false;
    for (auto waited = std::chrono::milliseconds(0);; waited += kFramePoll) {
        bool all = true;
        for (const SharedDisplay& display : std::as_const(displays)) {
            if (!display.frames || !display.frames->isAlive()) {
                const QString problem = display.frames ? display.frames->problem(display.stream) : QString();
                co_return Error::platform(problem.isEmpty() ? kEnded : problem);
            }
            all = all && display.frames->frames(display.stream) > 0;
        }
        if (all)
            co_return Result<>{};
        if (waited >= firstFrameWait)
            break;
        co_await pause(kFramePoll);
    }
    for (const SharedDisplay& display : std::as_const(displays))
        if (const QString problem = display.frames->problem(display.stream); !problem.isEmpty())
            co_return Error::platform(problem);
    stalled = true;
    co_return Error::platform(
        QStringLiteral("Screen sharing started, but the desktop sent no picture of a display within %1 seconds. "
                       "Its screen-sharing service may be stalled: clock in again, or sign out and back in if "
                       "it keeps happening.")
            .arg(std::chrono::duration_cast<std::chrono::seconds>(firstFrameWait).count()));
}

WaylandScreenCapture::WaylandScreenCapture(std::shared_ptr<Defaults> defaults, CaptureDeadlines deadlines)
    : m_state(std::make_shared<State>(deadlines.portal)) {
    m_state->defaults = std::move(defaults);
    m_state->firstFrameWait = deadlines.firstFrame;
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
    return !m_state->sessions.isEmpty() || !m_state->tokens().isEmpty();
}

QCoro::Task<bool> WaylandScreenCapture::checkCaptureAccess() {
    const std::shared_ptr<State> state = m_state;
    if (!state->sessions.isEmpty() || !state->tokens().isEmpty())
        co_return true;
    // Without an approval the portal decides what the user is told: its dialog, or that there is none.
    state->availability = co_await state->portal.availability();
    co_return false;
}

void WaylandScreenCapture::requestCaptureAccess() {
    if (m_state->requesting || m_state->availability == CastOutcome::Missing ||
        m_state->availability == CastOutcome::NoAnswer)
        return;
    m_state->requesting = true;
    // The desktop's dialog, once per display where it shares one at a time, until every display is shared
    // or the user declines.  Only the tokens are wanted: each session closes at once, before any stream
    // connects, and clock-in opens its own from the tokens.
    [](std::shared_ptr<State> state) -> QCoro::Task<> {
        QStringList tokens;
        qsizetype shared = 0;
        while (shared < screenCount()) {
            const QString none;
            const CastSession session = co_await state->portal.open(none, false);
            if (!session.started())
                break;
            state->portal.close(session.handle);
            shared += session.streams.size();
            if (!session.restoreToken.isEmpty())
                tokens.append(session.restoreToken);
        }
        if (!tokens.isEmpty())
            state->setTokens(tokens);
        state->requesting = false;
    }(m_state);
}

QString WaylandScreenCapture::accessInstructions() const {
    if (m_state->availability == CastOutcome::Missing)
        return QStringLiteral("Screenshots need the desktop's screen-sharing portal (xdg-desktop-portal with a "
                              "backend for this desktop), which is not running. Tracking has not started.");
    if (m_state->availability == CastOutcome::NoAnswer)
        return QStringLiteral("The desktop's screen-sharing portal did not answer. Clock in again in a moment. "
                              "Tracking has not started.");
    return QStringLiteral(
        "Allow screen sharing for Vantrel in the dialog that opened, then clock in again. Tracking has not started.");
}

QString WaylandScreenCapture::sessionStartText() const {
    if (m_state->lastDisplayCount > 0 && screenCount() > m_state->lastDisplayCount)
        return kStarting + QStringLiteral(" A display was connected: choose to share it in the desktop's dialog.");
    return kStarting;
}

QString WaylandScreenCapture::coverageNote() const {
    const State& state = *m_state;
    if (state.sessions.isEmpty())
        return {};
    const qsizetype missing = screenCount() - state.displays.size();
    if (missing <= 0)
        return {};
    const QString count = missing == 1 ? QStringLiteral("1 display is not captured")
                                       : QStringLiteral("%1 displays are not captured").arg(missing);
    return state.newDisplayDeclined
               ? count + QStringLiteral(": sharing it was not allowed. Clock in again to be asked once more.")
               : count + QStringLiteral(": it was connected after screen sharing started. Vantrel asks to share "
                                        "it at the next clock-in.");
}

QCoro::Task<Result<>> WaylandScreenCapture::State::restore(bool askForNew) {
    if (askForNew)
        newDisplayDeclined = false;
    QStringList renewed;
    for (const QString& token : tokens()) {
        const CastSession added = co_await add(token, false);
        if (added.started()) {
            renewed.append(added.restoreToken);
            continue;
        }
        close();
        // Only the user's refusal withdraws the approval: a slow or failing desktop keeps it for next time.
        if (added.outcome == CastOutcome::Declined) {
            setTokens({});
            co_return Error::platform(added.failure +
                                      QStringLiteral(" Clock in again to choose the screens to share."));
        }
        co_return Error::platform(added.failure + QStringLiteral(" Clock in again to retry."));
    }
    // A display connected since the approval: the desktop's dialog for it, now that the editor is here.
    while (askForNew && !renewed.isEmpty() && displays.size() < screenCount()) {
        const qsizetype before = displays.size();
        const CastSession added = co_await add(QString(), true);
        if (!added.started() || displays.size() == before) {
            if (added.started())
                drop(added.handle);
            newDisplayDeclined = true;
            break;
        }
        renewed.append(added.restoreToken);
    }
    if (displays.isEmpty()) {
        close();
        co_return Error::platform(QStringLiteral("Screen sharing started without any display."));
    }
    if (!connectStreams()) {
        close();
        co_return Error::platform(
            QStringLiteral("Screen sharing could not reach the desktop's stream. Clock in again to retry."));
    }
    // Some desktops honour a token once: the ones returned now replace the stored ones.
    setTokens(renewed);
    co_return Result<>{};
}

QCoro::Task<Result<>> WaylandScreenCapture::beginSession(std::function<void(QString reason)> ended) {
    const std::shared_ptr<State> state = m_state;
    state->close();
    // Clock-in lasts until every display has sent its first picture: tracking starts with screenshots.  A
    // screen-sharing service that stalls right after a session opened mostly serves the next one: a stalled
    // start is opened afresh once, from the tokens just renewed, so without a dialog.
    for (int attempt = 1;; ++attempt) {
        if (const Result<> restored = co_await state->restore(attempt == 1); !restored)
            co_return restored.error();
        const Result<> first = co_await state->awaitFirstFrames();
        if (first)
            break;
        state->close();
        if (!state->stalled || attempt == 2)
            co_return first.error();
    }
    std::stable_sort(state->displays.begin(), state->displays.end(),
                     [](const SharedDisplay& a, const SharedDisplay& b) {
                         return std::pair(a.position.x(), a.position.y()) < std::pair(b.position.x(), b.position.y());
                     });
    state->lastDisplayCount = state->displays.size();
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
    for (const SharedDisplay& display : std::as_const(m_state->displays)) {
        DisplayInfo info = display.info;
        // The size the stream sends now: a resolution change renegotiates it.
        if (display.frames)
            if (const QSize current = display.frames->size(display.stream); !current.isEmpty())
                std::tie(info.width, info.height) = std::pair(current.width(), current.height());
        list.append(info);
    }
    co_return list;
}

QCoro::Task<Result<QImage>> WaylandScreenCapture::capture(DisplayInfo display, QSize size) {
    if (size.isEmpty())
        co_return Error::platform(QStringLiteral("The screen could not be captured: the requested size is empty."));
    const std::shared_ptr<State> state = m_state;
    const auto find = [&state, id = display.id]() -> std::pair<std::shared_ptr<PipeWireStreams>, qsizetype> {
        for (const SharedDisplay& d : std::as_const(state->displays))
            if (d.info.id == id && d.frames && d.frames->isAlive())
                return {d.frames, d.stream};
        return {nullptr, 0};
    };
    const auto [frames, index] = find();
    if (!frames)
        co_return Error::platform(kEnded);
    // A frame is there since clock-in; after a resolution change the first at the new size may take a moment.
    QImage image;
    for (auto waited = std::chrono::milliseconds(0);; waited += kFramePoll) {
        if (!frames->isAlive())
            co_return Error::platform(kEnded);
        // The scaling runs on a pool thread, straight from the desktop's buffer.
        QFuture<QImage> scaling =
            QtConcurrent::run([frames = frames, index = index, size] { return frames->picture(index, size); });
        image = co_await scaling;
        if (!image.isNull() || waited >= kRenegotiationWait)
            break;
        co_await pause(kFramePoll);
    }
    // Once this run's pictures are compressed and gone, the heap they took goes back to the system rather
    // than staying until the clock-out.
    QTimer::singleShot(kTrimAfterCapture, &state->context,
                       [] { QThreadPool::globalInstance()->start([] { malloc_trim(0); }); });
    if (image.isNull()) {
        const QString problem = frames->problem(index);
        co_return Error::platform(
            !problem.isEmpty()
                ? problem
                : QStringLiteral("The screen could not be captured: the desktop sent no picture of a display."));
    }
    co_return image;
}
