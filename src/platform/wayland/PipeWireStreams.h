#pragma once

#include <QImage>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

// The frames of a screen-cast session, received over PipeWire on a thread of their own.  Each stream keeps
// its newest frame in the shared buffer the desktop sent it in, unread: a capture scales it from there under
// the stream's lock, so no full-size copy of a display lives in this process.
class PipeWireStreams final {
public:
    // Connects to the PipeWire remote behind `fd` (taken over) and to each node in `nodes`.  `ended` runs on
    // `context`'s thread, at most once, when the remote or a stream goes away; never after destruction.
    static std::unique_ptr<PipeWireStreams> open(int fd, const QList<quint32>& nodes, QObject* context,
                                                 std::function<void()> ended);
    ~PipeWireStreams();
    PipeWireStreams(const PipeWireStreams&) = delete;
    PipeWireStreams& operator=(const PipeWireStreams&) = delete;

    qsizetype count() const;
    // The size of the stream's current format, empty before one is agreed.
    QSize size(qsizetype index) const;
    // How many frames the stream has received so far.
    quint64 frames(qsizetype index) const;
    // The stream's newest frame at the width of `size` and its own aspect ratio, in QImage::Format_RGB32; null
    // while none has arrived.
    QImage picture(qsizetype index, QSize size) const;
    // Why the stream has no frame to read where that is known (the desktop offers graphics memory only),
    // otherwise empty.
    QString problem(qsizetype index) const;
    // Whether the remote and every stream are still there.
    bool isAlive() const;

    struct Impl;

private:
    explicit PipeWireStreams(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};
