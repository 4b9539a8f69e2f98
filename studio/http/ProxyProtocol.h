#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>

#include <optional>

// What a load balancer tells about the client it forwards: the PROXY protocol preamble (versions 1 and 2) before
// the TLS handshake, and the X-Forwarded-For and Forwarded headers of a balancer that ends TLS itself.  Only
// balancers the administrator names are believed.
namespace proxy {

using Subnet = QPair<QHostAddress, int>;

// "ADDRESS" or "ADDRESS/PREFIX"; nothing when malformed.
std::optional<Subnet> parseSubnet(const QString& text);
// IPv4 clients of an IPv6 socket arrive as ::ffff:a.b.c.d; they are compared and limited as IPv4.
QHostAddress plain(const QHostAddress& address);
bool trusted(const QList<Subnet>& proxies, const QHostAddress& address);

struct Preamble {
    enum Status { NotProxy, Incomplete, Invalid, Complete } status = NotProxy;
    qsizetype length = 0; // bytes of the preamble, when complete
    QHostAddress source;  // the client; null for a balancer's own check (LOCAL, UNKNOWN)
};
// Reads a preamble from the first bytes of a connection, as far as they have come.
Preamble parsePreamble(const QByteArray& bytes);
constexpr qsizetype kMaxPreamble = 16 + 1024; // version 2 with room for the balancer's extra fields

// The client a trusted balancer names in its headers: the nearest address, walking back from the balancer, that
// is not itself a trusted balancer.  X-Forwarded-For, which the common balancers append to, comes first; Forwarded
// (RFC 7239) counts only without it.  Null when neither names one.
QHostAddress forwardedClient(const QList<Subnet>& proxies, const QList<QByteArray>& forwarded,
                             const QList<QByteArray>& forwardedFor);

} // namespace proxy
