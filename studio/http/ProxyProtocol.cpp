#include "http/ProxyProtocol.h"

#include <QtEndian>

namespace proxy {

namespace {

const QByteArray kV1Signature = QByteArrayLiteral("PROXY ");
const QByteArray kV2Signature = QByteArrayLiteral("\r\n\r\n\0\r\nQUIT\n");
constexpr qsizetype kMaxV1Line = 107; // the longest line version 1 allows, CRLF included

Preamble invalid() {
    return {Preamble::Invalid, 0, {}};
}

// "a.b.c.d", "a.b.c.d:port", "[v6]", "[v6]:port" or a bare IPv6 address, as balancers write them.
QHostAddress hostOf(QByteArray text) {
    text = text.trimmed();
    if (text.size() >= 2 && text.startsWith('"') && text.endsWith('"'))
        text = text.mid(1, text.size() - 2);
    if (text.startsWith('[')) {
        const qsizetype end = text.indexOf(']');
        text = end > 0 ? text.mid(1, end - 1) : QByteArray();
    } else if (text.count(':') == 1) {
        text.truncate(text.indexOf(':'));
    }
    return plain(QHostAddress(QString::fromLatin1(text)));
}

Preamble versionOne(const QByteArray& bytes) {
    const qsizetype end = bytes.indexOf("\r\n");
    if (end < 0)
        return bytes.size() >= kMaxV1Line ? invalid() : Preamble{Preamble::Incomplete, 0, {}};
    if (end + 2 > kMaxV1Line)
        return invalid();
    const QList<QByteArray> words = bytes.left(end).split(' ');
    if (words.size() >= 2 && words[1] == "UNKNOWN")
        return {Preamble::Complete, end + 2, {}};
    if (words.size() != 6 || (words[1] != "TCP4" && words[1] != "TCP6"))
        return invalid();
    const QHostAddress source(QString::fromLatin1(words[2]));
    const auto family = words[1] == "TCP4" ? QAbstractSocket::IPv4Protocol : QAbstractSocket::IPv6Protocol;
    if (source.protocol() != family)
        return invalid();
    return {Preamble::Complete, end + 2, plain(source)};
}

Preamble versionTwo(const QByteArray& bytes) {
    if (bytes.size() < 16)
        return {Preamble::Incomplete, 0, {}};
    const auto* raw = reinterpret_cast<const uchar*>(bytes.constData());
    const int version = raw[12] >> 4, command = raw[12] & 0x0f, family = raw[13] >> 4;
    const qsizetype length = 16 + qFromBigEndian<quint16>(raw + 14);
    if (version != 2 || command > 1 || length > kMaxPreamble)
        return invalid();
    if (bytes.size() < length)
        return {Preamble::Incomplete, 0, {}};
    if (command == 0) // the balancer's own connection, such as a health check
        return {Preamble::Complete, length, {}};
    if (family == 1 && length >= 16 + 12)
        return {Preamble::Complete, length, QHostAddress(qFromBigEndian<quint32>(raw + 16))};
    if (family == 2 && length >= 16 + 36)
        return {Preamble::Complete, length, plain(QHostAddress(raw + 16))};
    if (family == 0 || family == 3) // unspecified or a local socket: no address to limit by
        return {Preamble::Complete, length, {}};
    return invalid();
}

} // namespace

std::optional<Subnet> parseSubnet(const QString& text) {
    const Subnet subnet = QHostAddress::parseSubnet(text);
    if (subnet.first.isNull())
        return std::nullopt;
    const QHostAddress address = plain(subnet.first);
    const int prefix = address.protocol() == subnet.first.protocol() ? subnet.second : std::max(0, subnet.second - 96);
    return Subnet{address, prefix};
}

QHostAddress plain(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 && address.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(v4) : address;
}

bool trusted(const QList<Subnet>& proxies, const QHostAddress& address) {
    const QHostAddress plainAddress = plain(address);
    return std::any_of(proxies.begin(), proxies.end(),
                       [&](const Subnet& subnet) { return plainAddress.isInSubnet(subnet.first, subnet.second); });
}

Preamble parsePreamble(const QByteArray& bytes) {
    for (const QByteArray* signature : {&kV1Signature, &kV2Signature}) {
        const qsizetype compared = std::min(bytes.size(), signature->size());
        if (compared == 0 || bytes.left(compared) != signature->left(compared))
            continue;
        if (compared < signature->size())
            return {Preamble::Incomplete, 0, {}};
        return signature == &kV1Signature ? versionOne(bytes) : versionTwo(bytes);
    }
    return bytes.isEmpty() ? Preamble{Preamble::Incomplete, 0, {}} : Preamble{};
}

QHostAddress forwardedClient(const QList<Subnet>& proxies, const QList<QByteArray>& forwarded,
                             const QList<QByteArray>& forwardedFor) {
    QList<QByteArray> hops;
    for (const QByteArray& line : forwardedFor)
        hops += line.split(',');
    if (hops.isEmpty()) {
        for (const QByteArray& line : forwarded) {
            for (const QByteArray& element : line.split(',')) {
                QByteArray hop;
                for (const QByteArray& pair : element.split(';')) {
                    if (pair.trimmed().left(4).toLower() == "for=")
                        hop = pair.trimmed().mid(4);
                }
                hops.append(hop);
            }
        }
    }
    QHostAddress client;
    for (auto hop = hops.crbegin(); hop != hops.crend(); ++hop) {
        client = hostOf(*hop);
        // An obfuscated or unknown hop hides who came before it: the balancer's own address is the best left.
        if (client.isNull() || !trusted(proxies, client))
            return client;
    }
    return client;
}

} // namespace proxy
