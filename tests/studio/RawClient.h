#pragma once

#include <QList>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>

// A TLS client that sends raw bytes, so that malformed requests can be tested.
struct RawClient {
    QSslSocket socket;
    QByteArray received;

    RawClient(quint16 port, const QSslCertificate& ca, const QString& host) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates({ca});
        socket.setSslConfiguration(tls);
        socket.setPeerVerifyName(host);
        QObject::connect(&socket, &QSslSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    bool encrypted() {
        return QTest::qWaitFor([this] { return socket.isEncrypted(); }, 30000);
    }
    // Waits for `count` complete responses (each with a Content-Length) or for the server to close.
    bool waitResponses(int count) {
        return QTest::qWaitFor(
            [&] { return responses().size() >= count || socket.state() != QAbstractSocket::ConnectedState; }, 30000);
    }
    QList<QByteArray> responses() const {
        QList<QByteArray> out;
        qsizetype at = 0;
        while (true) {
            const qsizetype end = received.indexOf("\r\n\r\n", at);
            if (end < 0)
                break;
            const QByteArray head = received.mid(at, end - at).toLower();
            const qsizetype lengthAt = head.indexOf("content-length: ");
            const qsizetype length =
                lengthAt < 0 ? 0 : head.mid(lengthAt + 16, head.indexOf('\r', lengthAt) - lengthAt - 16).toLongLong();
            if (received.size() < end + 4 + length)
                break;
            out.append(received.mid(at, end + 4 + length - at));
            at = end + 4 + length;
        }
        return out;
    }
};
