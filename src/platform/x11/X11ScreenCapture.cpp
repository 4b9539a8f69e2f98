#include "platform/x11/X11ScreenCapture.h"

#include "platform/x11/X11Monitors.h"
#include "platform/x11/XcbSupport.h"

#include <QDeadlineTimer>
#include <QPainter>
#include <QTimer>
#include <QtConcurrent/QtConcurrent>

#include <qcoro/qcorofuture.h>

#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <malloc.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <mutex>
#include <optional>

namespace {

// How long a capture keeps its connection and segment for the next display of the same run.
constexpr int kKeepSessionMs = 2000;
// How long an image read ahead may wait for its caller: a run asks for the next display within
// milliseconds, so anything older belongs to no run and would show the screen as it was.
constexpr int kReadAheadFreshMs = 1000;

struct Display {
    xcb::Connection connection;
    xcb_screen_t* screen = nullptr;
};

Result<Display> openDisplay() {
    int screenNumber = 0;
    Display display{xcb::connect(&screenNumber), nullptr};
    if (!display.connection)
        return Error::platform(QStringLiteral("The screen could not be captured: no X display is available."));
    display.screen = xcb::screenOf(display.connection.get(), screenNumber);
    if (!display.screen)
        return Error::platform(QStringLiteral("The screen could not be captured: no X display is available."));
    return display;
}

QList<X11Monitor> monitorsOf(const Display& display) {
    return listMonitors(display.connection.get(), display.screen->root,
                        QSize(display.screen->width_in_pixels, display.screen->height_in_pixels));
}

// A System V shared-memory segment the server writes the image into; gone with this object.
class SharedSegment final {
public:
    SharedSegment(xcb_connection_t* c, size_t bytes)
        : m_connection(c)
        , m_size(bytes) {
        m_id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (m_id < 0)
            return;
        void* address = shmat(m_id, nullptr, 0);
        // Marked for removal at once: the kernel frees it when the last attachment goes, even after a crash.
        shmctl(m_id, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1))
            return;
        m_address = static_cast<uchar*>(address);
        m_segment = xcb_generate_id(c);
        xcb::Owned<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_checked(c, m_segment, m_id, 0)));
        m_attached = !error;
    }
    ~SharedSegment() {
        if (m_attached)
            xcb_shm_detach(m_connection, m_segment);
        if (m_address)
            shmdt(m_address);
    }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    bool isAttached() const { return m_attached; }
    size_t size() const { return m_size; }
    xcb_shm_seg_t segment() const { return m_segment; }
    uchar* data() const { return m_address; }

private:
    xcb_connection_t* m_connection;
    size_t m_size;
    int m_id = -1;
    uchar* m_address = nullptr;
    xcb_shm_seg_t m_segment = 0;
    bool m_attached = false;
};

bool hasSharedMemory(xcb_connection_t* c) {
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    if (!shm || !shm->present)
        return false;
    xcb::Owned<xcb_shm_query_version_reply_t> version(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    return version != nullptr;
}

// The pixels of a rectangle of the root window, seen in place where the server put them: the shared
// segment or the reply.  The view is writable and valid until the next grab.
struct Frame {
    xcb::Owned<xcb_get_image_reply_t> reply;
    QImage view;
};

} // namespace

// One display's image and the display that follows it in RandR order, if any.
struct X11ScreenCapture::Grab {
    Result<QImage> image;
    std::optional<X11Monitor> next;
};

// What one capture leaves for the next: the connection and its shared segment.  The displays of one run
// follow one another within milliseconds and reuse them (a fresh 20 MB segment costs more than the whole
// rest of a capture, in page faults on both sides); between runs they are dropped so that memory returns
// to idle.  Used by one pool thread at a time, under the mutex.
struct X11ScreenCapture::Session {
    std::mutex mutex;
    std::optional<Display> display;
    std::unique_ptr<SharedSegment> segment;
    std::atomic<quint64> uses = 0;

    // Main thread only: the next display's capture, started while the caller compresses the previous one.
    struct ReadAhead {
        quint32 id;
        QSize size;
        QFuture<Grab> grab;
        QDeadlineTimer fresh;
    };
    std::optional<ReadAhead> ahead;

    Result<Display*> open() {
        if (display && xcb_connection_has_error(display->connection.get())) {
            segment.reset();
            display.reset();
        }
        if (!display) {
            auto opened = openDisplay();
            if (!opened)
                return opened.error();
            display = std::move(*opened);
        }
        return &*display;
    }

    // Null view when the server refused.
    Frame grab(QRect rect) {
        xcb_connection_t* c = display->connection.get();
        const auto width = uint16_t(rect.width());
        const auto height = uint16_t(rect.height());
        const size_t bytes = size_t(width) * height * 4;
        Frame frame;
        if (!segment || segment->size() < bytes) {
            segment.reset();
            if (hasSharedMemory(c))
                segment = std::make_unique<SharedSegment>(c, bytes);
        }
        if (segment && segment->isAttached()) {
            xcb::Owned<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
                c,
                xcb_shm_get_image(c, display->screen->root, int16_t(rect.x()), int16_t(rect.y()), width, height, ~0u,
                                  XCB_IMAGE_FORMAT_Z_PIXMAP, segment->segment(), 0),
                nullptr));
            if (reply) {
                frame.view = QImage(segment->data(), width, height, width * 4, QImage::Format_RGB32);
                return frame;
            }
        }
        segment.reset(); // refused (a remote server, say): plain GetImage from now on
        frame.reply.reset(xcb_get_image_reply(c,
                                              xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, display->screen->root,
                                                            int16_t(rect.x()), int16_t(rect.y()), width, height, ~0u),
                                              nullptr));
        if (frame.reply && xcb_get_image_data_length(frame.reply.get()) >= int(width) * height * 4)
            frame.view = QImage(xcb_get_image_data(frame.reply.get()), width, height, width * 4, QImage::Format_RGB32);
        return frame;
    }

    Grab capture(quint32 id, QSize size);
    Result<QImage> still(const Display& display, const X11Monitor& monitor, QSize size);
};

namespace {

// Draws the current cursor over `image`, which shows the root window's `rect`.
void drawCursor(const Display& display, QImage& image, QRect rect) {
    xcb_connection_t* c = display.connection.get();
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present)
        return;
    // XFixes answers nothing before the client has announced its version.
    xcb::Owned<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    if (!version)
        return;
    xcb::Owned<xcb_xfixes_get_cursor_image_reply_t> cursor(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!cursor || cursor->width == 0 || cursor->height == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get()) < int(cursor->width) * cursor->height)
        return;
    const QPoint topLeft(cursor->x - cursor->xhot - rect.x(), cursor->y - cursor->yhot - rect.y());
    if (!QRect(topLeft, QSize(cursor->width, cursor->height)).intersects(image.rect()))
        return;
    const QImage shape(reinterpret_cast<const uchar*>(xcb_xfixes_get_cursor_image_cursor_image(cursor.get())),
                       cursor->width, cursor->height, cursor->width * 4, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.drawImage(topLeft, shape);
}

} // namespace

X11ScreenCapture::Grab X11ScreenCapture::Session::capture(quint32 id, QSize size) {
    auto opened = open();
    if (!opened)
        return {opened.error(), {}};
    Display* display = *opened;
    const QList<X11Monitor> monitors = monitorsOf(*display);
    const auto monitor =
        std::find_if(monitors.begin(), monitors.end(), [id](const X11Monitor& m) { return m.id == id; });
    if (monitor == monitors.end())
        return {Error::platform(QStringLiteral("The display is no longer connected.")), {}};
    Grab result{Result<QImage>(QImage()), {}};
    if (monitor + 1 != monitors.end())
        result.next = *(monitor + 1);
    result.image = still(*display, *monitor, size);
    return result;
}

Result<QImage> X11ScreenCapture::Session::still(const Display& display, const X11Monitor& monitor, QSize size) {
    const xcb_setup_t* setup = xcb_get_setup(display.connection.get());
    if (display.screen->root_depth < 24 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return Error::platform(QStringLiteral("The screen could not be captured: its pixel format is not supported."));

    // Only the part of the monitor that lies on the root window can be read; the rest stays black.
    const QRect root(0, 0, display.screen->width_in_pixels, display.screen->height_in_pixels);
    const QRect visible = monitor.rect.intersected(root);
    if (visible.isEmpty())
        return Error::platform(QStringLiteral("The display is no longer connected."));
    Frame frame = grab(visible);
    if (frame.view.isNull())
        return Error::platform(QStringLiteral("The screen could not be captured: the X server refused the image."));
    QImage image;
    if (visible == monitor.rect) {
        // Cursor and scaling work on the server's pixels in place; only the result is a new image.
        drawCursor(display, frame.view, monitor.rect);
        image = frame.view.size() == size ? frame.view.copy()
                                          : frame.view.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    } else {
        image = QImage(monitor.rect.size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        {
            QPainter painter(&image);
            painter.drawImage(visible.topLeft() - monitor.rect.topLeft(), frame.view);
        }
        drawCursor(display, image, monitor.rect);
        if (image.size() != size)
            image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (image.format() != QImage::Format_RGB32)
        image = image.convertToFormat(QImage::Format_RGB32);
    return image;
}

X11ScreenCapture::X11ScreenCapture(bool readAhead)
    : m_session(std::make_shared<Session>())
    , m_readAhead(readAhead) {}

X11ScreenCapture::~X11ScreenCapture() = default;

bool X11ScreenCapture::isCaptureAllowed() {
    // Only ever chosen for an X11 session (a Wayland session gets the portal), where nothing needs allowing.
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

void X11ScreenCapture::requestCaptureAccess() {
    // X11 has no such permission to ask for.
}

QString X11ScreenCapture::accessInstructions() const {
    return QStringLiteral(
        "Let Vantrel reach your X display (its DISPLAY is not set), then quit and reopen Vantrel. "
        "Tracking has not started.");
}

QCoro::Task<Result<QList<DisplayInfo>>> X11ScreenCapture::displays() {
    // The future is a named local: GCC 12 destroys temporaries of a co_await expression twice.
    QFuture<Result<QList<DisplayInfo>>> listing = QtConcurrent::run([]() -> Result<QList<DisplayInfo>> {
        auto display = openDisplay();
        if (!display)
            return display.error();
        QList<DisplayInfo> result;
        for (const X11Monitor& monitor : monitorsOf(*display))
            result.append({monitor.id, monitor.rect.width(), monitor.rect.height()});
        return result;
    });
    co_return co_await listing;
}

namespace {

// The size a caller that caps the width asks for `next` after asking `asked` for `display`: the same cap,
// the height in proportion.
QSize sizeLike(QSize asked, const DisplayInfo& display, QSize next) {
    const int width = asked.width() < display.width ? std::min(next.width(), asked.width()) : next.width();
    return {width, std::max(1, int(double(next.height()) * width / next.width()))};
}

} // namespace

QFuture<X11ScreenCapture::Grab> X11ScreenCapture::start(std::shared_ptr<Session> session, quint32 id, QSize size) {
    ++session->uses; // counted here, so that a release already pending sees this capture coming
    return QtConcurrent::run([session, id, size] {
        const std::lock_guard lock(session->mutex);
        return session->capture(id, size);
    });
}

QCoro::Task<Result<QImage>> X11ScreenCapture::capture(DisplayInfo display, QSize size) {
    if (size.isEmpty())
        co_return Error::platform(QStringLiteral("The screen could not be captured: the requested size is empty."));
    const std::shared_ptr<Session> session = m_session;
    const bool readAhead = m_readAhead; // this object may be gone once the capture is back
    // The future is a named local: GCC 12 destroys temporaries of a co_await expression twice, and a
    // lambda's copy of the session with them.
    const std::optional<Session::ReadAhead> ahead = std::exchange(session->ahead, std::nullopt);
    QFuture<Grab> grabbing = ahead && ahead->id == display.id && ahead->size == size && !ahead->fresh.hasExpired()
                                 ? ahead->grab
                                 : start(session, display.id, size);
    Grab grab = co_await grabbing;
    // A run asks for the displays one after another and compresses each in between: the next display is
    // captured meanwhile, so the two overlap on the pool's threads.
    if (readAhead && grab.image && grab.next && !session->ahead) {
        const QSize nextSize = sizeLike(size, display, grab.next->rect.size());
        session->ahead = Session::ReadAhead{grab.next->id, nextSize, start(session, grab.next->id, nextSize),
                                            QDeadlineTimer(kReadAheadFreshMs)};
    }
    // Unless another capture follows soon, give the connection, the segment and the freed pixels back.
    // Read without the lock: the main thread never waits for a capture that another task has running.
    const quint64 uses = session->uses.load();
    QTimer::singleShot(kKeepSessionMs, [weak = std::weak_ptr<Session>(session), uses] {
        const std::shared_ptr<Session> kept = weak.lock();
        if (!kept)
            return;
        std::unique_lock lock(kept->mutex, std::try_to_lock);
        if (!lock.owns_lock() || kept->uses != uses)
            return;          // a later capture is running or has run; its own timer will release
        kept->ahead.reset(); // a run that ended early leaves its read-ahead unused
        kept->segment.reset();
        kept->display.reset();
        malloc_trim(0);
    });
    co_return std::move(grab.image);
}
