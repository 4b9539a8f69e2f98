// vantrel-studio: the reference studio service and its administration commands.
#include "Studio.h"
#include "StudioServer.h"
#include "http/CertificateAuthority.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

const char* const kUsage = R"(Commands (DIR is the studio's folder: studio.db and screenshots/):
  init DIR                         create the studio and print the admin password
  admin-password DIR               replace the admin password and print the new one
  add-user DIR NAME                add a user
  add-project DIR TITLE [USER…]    add a project, open to the users named
  pairing-code DIR USER            print a one-time pairing code for USER (--valid-minutes)
  devices DIR                      list paired devices
  revoke DIR DEVICE-ID             revoke a device's token
  sessions DIR                     list work sessions
  serve DIR                        serve HTTPS (--certificate, --key, --chain, --address, --port,
                                   --tunnel-host, --expire-after)
  make-certificates DIR HOST       make a throw-away CA and a server certificate for HOST in DIR)";

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString& text)
{
    QTextStream(stderr) << "vantrel-studio: " << text << Qt::endl;
    return 1;
}

QString time(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QByteArray readAll(const QString& path, bool* ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

int serve(Studio& studio, const QCommandLineParser& parser)
{
    bool ok = false;
    StudioServer::Options options;
    options.tls.certificate = QSslCertificate(readAll(parser.value(u"certificate"_qs), &ok), QSsl::Pem);
    const QByteArray key = ok ? readAll(parser.value(u"key"_qs), &ok) : QByteArray();
    options.tls.key = QSslKey(key, QSsl::Ec, QSsl::Pem);
    if (options.tls.key.isNull())
        options.tls.key = QSslKey(key, QSsl::Rsa, QSsl::Pem);
    if (!ok || options.tls.certificate.isNull() || options.tls.key.isNull())
        return fail(QStringLiteral("serve needs a readable PEM --certificate and --key."));
    if (parser.isSet(u"chain"_qs)) {
        options.tls.chain = QSslCertificate::fromPath(parser.value(u"chain"_qs), QSsl::Pem);
        if (options.tls.chain.isEmpty())
            return fail(QStringLiteral("The --chain file holds no certificate."));
    }
    options.tls.tunnelHost = parser.value(u"tunnel-host"_qs);
    options.expireAfterSeconds = parser.value(u"expire-after"_qs).toLongLong(&ok);
    if (!ok || options.expireAfterSeconds <= 0)
        return fail(QStringLiteral("--expire-after needs a positive number of seconds."));
    const QHostAddress address(parser.value(u"address"_qs));
    const uint port = parser.value(u"port"_qs).toUInt(&ok);
    if (address.isNull() || !ok || port > 65535)
        return fail(QStringLiteral("--address needs an IP address and --port a port number."));

    StudioServer server(studio, options);
    if (!server.listen(address, quint16(port)))
        return fail(QStringLiteral("Cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(server.errorString()));
    out() << "Listening on https://" << address.toString() << ':' << server.port() << Qt::endl;
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrel-studio"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kUsage));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See the list above."));
    parser.addOptions({
        {u"valid-minutes"_qs, QStringLiteral("How long a pairing code stays valid."), u"minutes"_qs, u"1440"_qs},
        {u"certificate"_qs, QStringLiteral("Server certificate (PEM)."), u"file"_qs},
        {u"key"_qs, QStringLiteral("Server private key (PEM)."), u"file"_qs},
        {u"chain"_qs, QStringLiteral("Intermediate certificates (PEM)."), u"file"_qs},
        {u"address"_qs, QStringLiteral("Address to listen on."), u"ip"_qs, u"127.0.0.1"_qs},
        {u"port"_qs, QStringLiteral("Port to listen on; 0 picks a free one."), u"port"_qs, u"8443"_qs},
        {u"tunnel-host"_qs, QStringLiteral("Accept CONNECT tunnels to this host on port 443."), u"host"_qs},
        {u"expire-after"_qs, QStringLiteral("End open sessions silent for this long."), u"seconds"_qs, u"600"_qs},
    });
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (args.size() < 2)
        return fail(QStringLiteral("Give a command and the studio's folder; see --help."));
    const QString dir = args[1];

    if (command == u"make-certificates") {
        const Result<CertificateAuthority> authority = CertificateAuthority::create(dir, args.value(2));
        if (!authority)
            return fail(authority.error().message());
        out() << "CA: " << authority->caFile << "\nCertificate: " << authority->certificateFile
              << "\nKey: " << authority->keyFile << Qt::endl;
        return 0;
    }

    const bool create = command == u"init";
    Result<std::unique_ptr<Studio>> opened = Studio::open(dir, create);
    if (!opened)
        return fail(opened.error().message());
    Studio& studio = **opened;

    auto printed = [](const auto& result, auto&& print) {
        if (!result)
            return fail(result.error().message());
        print(*result);
        return 0;
    };
    if (create || command == u"admin-password") {
        return printed(studio.resetAdminPassword(), [&](const QString& password) {
            out() << "Admin page user: admin\nAdmin password: " << password << Qt::endl;
        });
    }
    if (command == u"add-user" && args.size() == 3)
        return printed(studio.addUser(args[2]), [](qint64 id) { out() << "User " << id << " added." << Qt::endl; });
    if (command == u"add-project" && args.size() >= 3)
        return printed(studio.addProject(args[2], args.mid(3)), [](const QString& id) { out() << id << Qt::endl; });
    if (command == u"pairing-code" && args.size() == 3) {
        bool ok = false;
        const qint64 minutes = parser.value(u"valid-minutes"_qs).toLongLong(&ok);
        if (!ok || minutes <= 0)
            return fail(QStringLiteral("--valid-minutes needs a positive number."));
        return printed(studio.issuePairingCode(args[2], minutes * 60), [](const QString& code) { out() << code << Qt::endl; });
    }
    if (command == u"revoke" && args.size() == 3) {
        bool ok = false;
        const qint64 id = args[2].toLongLong(&ok);
        const Result<> revoked = ok ? studio.revokeDevice(id) : Result<>(Error::api(400, QStringLiteral("Give the device's number.")));
        return printed(revoked, [&](auto) { out() << "Device " << id << " revoked." << Qt::endl; });
    }
    if (command == u"devices" && args.size() == 2) {
        for (const Studio::DeviceRow& device : studio.devices())
            out() << device.id << '\t' << device.userName << '\t' << device.name << "\tpaired " << time(device.pairedAt)
                  << (device.revokedAt ? QStringLiteral("\trevoked ") + time(*device.revokedAt) : QString()) << '\n';
        out().flush();
        return 0;
    }
    if (command == u"sessions" && args.size() == 2) {
        for (const Studio::SessionRow& row : studio.sessions(100000)) {
            out() << row.id << '\t' << row.userName << '\t' << row.projectTitle << '\t' << row.stage << '\t'
                  << time(row.startedAt) << '\t' << (row.endedAt ? time(*row.endedAt) : QStringLiteral("-")) << '\t'
                  << (row.endKind.isEmpty() ? QStringLiteral("open") : row.endKind) << '\t' << row.reports
                  << " reports" << (row.contiguous ? "" : " (gaps)") << '\t' << row.screenshotIds.size()
                  << " screenshots\n";
        }
        out().flush();
        return 0;
    }
    if (command == u"serve" && args.size() == 2)
        return serve(studio, parser);
    return fail(QStringLiteral("Unknown command or wrong arguments: %1; see --help.").arg(args.join(u' ')));
}
