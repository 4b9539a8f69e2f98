#include "platform/wayland/PipeWireStreams.h"

#include <QMetaObject>

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Where a readable frame lies in a buffer.
struct Layout {
    const uchar* top = nullptr; // the first row
    qsizetype stride = 0;       // negative where rows run upwards in memory
    int width = 0;
    int height = 0;
};

// A buffer kept from the desktop with the newest readable frame, read only when a capture asks.
struct Held {
    pw_buffer* buffer = nullptr;
    Layout frame;
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN; // at the time it arrived
};

struct Stream {
    PipeWireStreams::Impl* owner = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool streaming = false;
    mutable std::mutex mutex; // guards the members below, which the capture threads read
    spa_video_info_raw format{};
    bool graphicsMemory = false; // the agreed format carries a modifier: DMA-BUF, which we cannot map
    Held held;
    quint64 received = 0;
};

// Where red, green and blue lie in each 4-byte pixel of the 32-bit formats a desktop may send.
struct ByteOrder {
    int red = -1;
    int green = -1;
    int blue = -1;
};

ByteOrder byteOrder(spa_video_format format) {
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        return {2, 1, 0};
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        return {0, 1, 2};
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
        return {1, 2, 3};
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
        return {3, 2, 1};
    default:
        return {};
    }
}

// `size` shrunk or grown to the width asked for, at the aspect ratio of `frame`.
QSize keepingAspect(QSize frame, QSize size) {
    if (frame.isEmpty())
        return size;
    return {size.width(), std::max(1, int(qint64(frame.height()) * size.width() / frame.width()))};
}

// The held frame at `size`.  The common byte order is scaled straight from the shared buffer; the others
// are converted first, into a full-size picture that lives only while this capture runs.
QImage scaled(const Held& held, QSize size) {
    const Layout& frame = held.frame;
    const QSize target = keepingAspect(QSize(frame.width, frame.height), size);
    const ByteOrder order = byteOrder(held.format);
    const bool direct = frame.stride > 0 && order.red == 2 && order.green == 1 && order.blue == 0;
    QImage source;
    if (direct) {
        source = QImage(frame.top, frame.width, frame.height, frame.stride, QImage::Format_RGB32);
    } else {
        source = QImage(frame.width, frame.height, QImage::Format_RGB32);
        for (int y = 0; y < frame.height && !source.isNull(); ++y) {
            const uchar* from = frame.top + frame.stride * y;
            auto* to = reinterpret_cast<QRgb*>(source.scanLine(y));
            for (int x = 0; x < frame.width; ++x, from += 4)
                to[x] = qRgb(from[order.red], from[order.green], from[order.blue]);
        }
    }
    if (source.size() == target)
        return direct ? source.copy() : source;
    return source.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// Drops this process's pages of a shared buffer once read: the desktop's memory stays as it is, and the
// next read maps it again.  Never for memory of our own (MemPtr), which this would zero.
void unmapPages(const spa_data& plane) {
    if (plane.type != SPA_DATA_MemFd || !plane.data)
        return;
    const auto page = uintptr_t(sysconf(_SC_PAGESIZE));
    const auto from = (uintptr_t(plane.data) + page - 1) & ~(page - 1);
    const auto to = (uintptr_t(plane.data) + plane.maxsize) & ~(page - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

const QString kGraphicsMemory =
    QStringLiteral("The screen could not be captured: the desktop offers the picture of a display only in graphics "
                   "memory (DMA-BUF), which Vantrel cannot read.");

} // namespace

struct PipeWireStreams::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    std::vector<uint32_t> nodes;
    std::vector<std::unique_ptr<Stream>> streams;
    std::atomic<bool> alive = true;
    QObject* receiver = nullptr; // outlives this: the owner stops the thread before it goes
    std::function<void()> ended;

    // On the PipeWire thread: tells the owner once, on its own thread.
    void lose() {
        if (alive.exchange(false))
            QMetaObject::invokeMethod(receiver, ended, Qt::QueuedConnection);
    }

    ~Impl() {
        if (loop) {
            pw_thread_loop_lock(loop);
            for (auto& stream : streams)
                if (stream->stream)
                    pw_stream_destroy(stream->stream);
            if (registry)
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
            if (core)
                pw_core_disconnect(core);
            pw_thread_loop_unlock(loop);
            pw_thread_loop_stop(loop);
        }
        if (context)
            pw_context_destroy(context);
        if (loop)
            pw_thread_loop_destroy(loop);
    }
};

namespace {

void onCoreError(void* data, uint32_t id, int, int, const char*) {
    auto* impl = static_cast<PipeWireStreams::Impl*>(data);
    if (id == PW_ID_CORE)
        impl->lose();
}

// A node we read from has gone (its output unplugged, its cast ended): a stream waiting for it would stay
// paused for ever, showing its last frame.
void onGlobalRemoved(void* data, uint32_t id) {
    auto* impl = static_cast<PipeWireStreams::Impl*>(data);
    if (std::find(impl->nodes.begin(), impl->nodes.end(), id) != impl->nodes.end())
        impl->lose();
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* stream = static_cast<Stream*>(data);
    if (state == PW_STREAM_STATE_STREAMING || state == PW_STREAM_STATE_PAUSED)
        stream->streaming = true;
    if (state == PW_STREAM_STATE_ERROR) {
        // Failing before any format was agreed: the desktop offered none we read, which on desktops that
        // render on the GPU means DMA-BUF only.
        const std::lock_guard lock(stream->mutex);
        if (stream->format.size.width == 0)
            stream->graphicsMemory = true;
    }
    // A stream that was running and is no longer connected has lost its display.
    if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && stream->streaming))
        stream->owner->lose();
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* stream = static_cast<Stream*>(data);
    if (!param || id != SPA_PARAM_Format)
        return;
    spa_video_info_raw format{};
    if (spa_format_video_raw_parse(param, &format) < 0)
        return;
    {
        const std::lock_guard lock(stream->mutex);
        stream->format = format;
        stream->graphicsMemory = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_modifier) != nullptr;
    }
    // Frames in memory we can read (shared memory, never GPU buffers), each with its header, whose flags
    // tell a damaged frame.
    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(stream->stream, params, 2);
}

// The layout of a frame that can be read, or none.
Layout readable(pw_buffer* buffer, const spa_video_info_raw& format) {
    const spa_buffer* spa = buffer->buffer;
    if (!spa || spa->n_datas < 1)
        return {};
    const spa_data& plane = spa->datas[0];
    const auto* header =
        static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
    const int width = int(format.size.width);
    const int height = int(format.size.height);
    if (!plane.data || !plane.chunk || byteOrder(format.format).red < 0 || width <= 0 || height <= 0 ||
        (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) || (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)))
        return {};
    const qsizetype row = qsizetype(width) * 4;
    const qsizetype stride = plane.chunk->stride != 0 ? plane.chunk->stride : row;
    const qsizetype offset = plane.chunk->offset;
    // Every row lies inside the mapped memory, whichever way they run.
    const qsizetype last = offset + stride * (height - 1);
    if (std::abs(stride) < row || std::min(offset, last) < 0 || std::max(offset, last) + row > qsizetype(plane.maxsize))
        return {};
    return {static_cast<const uchar*>(plane.data) + offset, stride, width, height};
}

void onProcess(void* data) {
    auto* stream = static_cast<Stream*>(data);
    // Only the newest buffer matters; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(stream->stream)) {
        if (newest)
            pw_stream_queue_buffer(stream->stream, newest);
        newest = next;
    }
    if (!newest)
        return;
    // A readable frame is kept, unread, and the one kept before goes back: the desktop always has all but
    // one buffer to draw into.  A damaged frame goes back at once.
    pw_buffer* spare = newest;
    {
        const std::lock_guard lock(stream->mutex);
        if (const Layout frame = readable(newest, stream->format); frame.top) {
            spare = std::exchange(stream->held, Held{newest, frame, stream->format.format}).buffer;
            ++stream->received;
        }
    }
    if (spare)
        pw_stream_queue_buffer(stream->stream, spare);
}

// Buffers go when the format changes or the stream ends; a capture scaling the held one finishes first.
void onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* stream = static_cast<Stream*>(data);
    const std::lock_guard lock(stream->mutex);
    if (stream->held.buffer == buffer)
        stream->held = {};
}

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = onGlobalRemoved;
    return events;
}();

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    events.remove_buffer = onRemoveBuffer;
    return events;
}();

} // namespace

std::unique_ptr<PipeWireStreams> PipeWireStreams::open(int fd, const QList<quint32>& nodes, QObject* context,
                                                       std::function<void()> ended) {
    static const bool initialised = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    Q_UNUSED(initialised);
    auto impl = std::make_unique<Impl>();
    impl->receiver = context;
    impl->ended = std::move(ended);
    impl->loop = pw_thread_loop_new("vantrel-capture", nullptr);
    if (!impl->loop) {
        close(fd);
        return nullptr;
    }
    // PipeWire locks the buffers it maps, as many as the memory-lock limit allows, which keeps them resident
    // however seldom they are read: frames read every half minute need no locked memory.
    impl->context =
        pw_context_new(pw_thread_loop_get_loop(impl->loop), pw_properties_new("mem.allow-mlock", "false", nullptr), 0);
    if (!impl->context || pw_thread_loop_start(impl->loop) < 0) {
        close(fd);
        return nullptr;
    }
    pw_thread_loop_lock(impl->loop);
    impl->core = pw_context_connect_fd(impl->context, fd, nullptr, 0);
    bool connected = impl->core != nullptr;
    if (connected) {
        pw_core_add_listener(impl->core, &impl->coreListener, &kCoreEvents, impl.get());
        impl->nodes.assign(nodes.begin(), nodes.end());
        impl->registry = pw_core_get_registry(impl->core, PW_VERSION_REGISTRY, 0);
        if (impl->registry)
            pw_registry_add_listener(impl->registry, &impl->registryListener, &kRegistryEvents, impl.get());
    }
    for (const quint32 node : nodes) {
        if (!connected)
            break;
        auto stream = std::make_unique<Stream>();
        stream->owner = impl.get();
        stream->stream = pw_stream_new(impl->core, "Vantrel screenshots",
                                       pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                         PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        if (!stream->stream) {
            connected = false;
            break;
        }
        pw_stream_add_listener(stream->stream, &stream->listener, &kStreamEvents, stream.get());
        uint8_t buffer[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        // A capture every 30 seconds needs no more than a frame a second; fewer frames, less copying.
        const spa_fraction none{0, 1};
        const spa_fraction one{1, 1};
        const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                   SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB,
                                   SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR),
            SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&one, &none, &one)));
        connected = pw_stream_connect(stream->stream, PW_DIRECTION_INPUT, node,
                                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &format,
                                      1) == 0;
        impl->streams.push_back(std::move(stream));
    }
    pw_thread_loop_unlock(impl->loop);
    if (!connected)
        return nullptr;
    return std::unique_ptr<PipeWireStreams>(new PipeWireStreams(std::move(impl)));
}

PipeWireStreams::PipeWireStreams(std::unique_ptr<Impl> impl)
    : m_impl(std::move(impl)) {}

PipeWireStreams::~PipeWireStreams() = default;

qsizetype PipeWireStreams::count() const {
    return qsizetype(m_impl->streams.size());
}

QSize PipeWireStreams::size(qsizetype index) const {
    if (index < 0 || index >= count())
        return {};
    const Stream& stream = *m_impl->streams[size_t(index)];
    const std::lock_guard lock(stream.mutex);
    return QSize(int(stream.format.size.width), int(stream.format.size.height));
}

quint64 PipeWireStreams::frames(qsizetype index) const {
    if (index < 0 || index >= count())
        return 0;
    const Stream& stream = *m_impl->streams[size_t(index)];
    const std::lock_guard lock(stream.mutex);
    return stream.received;
}

QImage PipeWireStreams::picture(qsizetype index, QSize size) const {
    if (index < 0 || index >= count() || size.isEmpty())
        return {};
    const Stream& stream = *m_impl->streams[size_t(index)];
    // The buffer stays ours while the lock is held: the stream's thread waits to give it back.
    const std::lock_guard lock(stream.mutex);
    if (!stream.held.buffer)
        return {};
    QImage image = scaled(stream.held, size);
    unmapPages(stream.held.buffer->buffer->datas[0]);
    return image;
}

QString PipeWireStreams::problem(qsizetype index) const {
    if (index < 0 || index >= count())
        return {};
    const Stream& stream = *m_impl->streams[size_t(index)];
    const std::lock_guard lock(stream.mutex);
    return stream.graphicsMemory ? kGraphicsMemory : QString();
}

bool PipeWireStreams::isAlive() const {
    return m_impl->alive;
}
