#include "platform/wayland/PipeWireStreams.h"

#include <QMetaObject>

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

struct Stream {
    PipeWireStreams::Impl* owner = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_video_info_raw format{};
    bool streaming = false;
    mutable std::mutex mutex;
    QImage latest; // under mutex; written in place while no capture holds it
};

QImage::Format imageFormat(spa_video_format format) {
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        return QImage::Format_RGB32; // little-endian 0xffRRGGBB words
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        return QImage::Format_RGBX8888;
    default:
        return QImage::Format_Invalid;
    }
}

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
    stream->format = format;
    // Frames in memory we can read: shared memory only, never GPU buffers.
    uint8_t buffer[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* buffers = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    pw_stream_update_params(stream->stream, &buffers, 1);
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
    const spa_buffer* buffer = newest->buffer;
    const spa_data& plane = buffer->datas[0];
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    const int width = int(stream->format.size.width);
    const int height = int(stream->format.size.height);
    const QImage::Format format = imageFormat(stream->format.format);
    const qsizetype stride = plane.chunk && plane.chunk->stride > 0 ? plane.chunk->stride : qsizetype(width) * 4;
    const bool usable = plane.data && plane.chunk && format != QImage::Format_Invalid && width > 0 && height > 0 &&
                        !(plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) &&
                        !(header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) &&
                        plane.chunk->offset + stride * (height - 1) + qsizetype(width) * 4 <= plane.maxsize;
    if (usable) {
        // One frame per display in memory: the copy goes into the newest frame itself, a millisecond or two
        // under the lock, unless a capture is still scaling it.
        const auto* source = static_cast<const uchar*>(plane.data) + plane.chunk->offset;
        const std::lock_guard lock(stream->mutex);
        QImage& frame = stream->latest;
        if (frame.size() != QSize(width, height) || frame.format() != format || !frame.isDetached())
            frame = QImage(width, height, format);
        for (int y = 0; y < height; ++y)
            std::memcpy(frame.scanLine(y), source + stride * y, size_t(width) * 4);
    }
    pw_stream_queue_buffer(stream->stream, newest);
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
    impl->context = pw_context_new(pw_thread_loop_get_loop(impl->loop), nullptr, 0);
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
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                   SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
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

QImage PipeWireStreams::latest(qsizetype index) const {
    if (index < 0 || size_t(index) >= m_impl->streams.size())
        return {};
    const Stream& stream = *m_impl->streams[size_t(index)];
    const std::lock_guard lock(stream.mutex);
    return stream.latest;
}

bool PipeWireStreams::isAlive() const {
    return m_impl->alive;
}
