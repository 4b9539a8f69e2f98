// vantrel-studio: the reference studio service and its administration commands.
#include "StudioServer.h"
#include "api/ApiCommands.h"
#include "http/CertificateAuthority.h"
#include "store/Retention.h"
#include "store/Studio.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sys/stat.h>

namespace {

const char* const kUsage =
    R"(Commands; DIR is the studio's folder (studio.db, screenshots/ and, from init --host, the certificates).
With --database postgresql://…, every table lives in that PostgreSQL database instead, and several serve
processes may share it; screenshots then go to --screenshots DIR (a shared volume) or DIR/screenshots:
  init --data DIR [--host HOST]            create the studio and print the admin password; with --host, also a
                                           throw-away CA (ca.pem) and a certificate for HOST, served by default
  admin-password --data DIR                print a new password for the administrator "admin" (made again if removed)
  account add --data DIR --name NAME [--role administrator|viewer]   add a managers' account; prints its password
  account list|remove|password --data DIR [--name NAME]   list, remove, or print a new password for an account
  add-user --data DIR --name NAME [--email ADDRESS]
  add-project --data DIR --title TITLE [--user USER]…   USER is an e-mail address or a name
  pairing-code --data DIR --user USER [--valid-minutes N]   print a one-time pairing code
  close-project|reopen-project --data DIR --project PROJECT   PROJECT is the project's id or title
  assign|unassign --data DIR --project PROJECT --user USER   open a project to an editor, or take it away
  pairing-codes --data DIR                 list the unused pairing codes
  revoke-code --data DIR --reference REF   revoke an unused pairing code
  devices --data DIR                       list paired devices
  audit-log --data DIR                     list the changes made to the studio, the latest first
  revoke --data DIR --device ID            revoke a device's token
  sessions --data DIR                      list work sessions
  time-zone --data DIR [--zone ZONE]       show, or set, the zone of the studio's days (Europe/Berlin, say)
  retention --data DIR [--days N]          show, or set, how many days screenshots are kept (default 90)
  api-token create NAME --data DIR        make a token for the read-only API (/api/v1) and print it once
  api-token list --data DIR                list the API's tokens
  api-token revoke ID --data DIR           revoke an API token
  serve --data DIR [--database URI] [--screenshots DIR] [--device-quota-mb N] [--listen ADDRESS:PORT] [--certificate FILE --key FILE [--chain FILE]]
        [--expire-after SECONDS] [--trusted-proxy ADDRESS[/PREFIX]]… [limits, each with a default that suits a studio: see below])";

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString& text) {
    QTextStream(stderr) << "vantrel-studio: " << text << Qt::endl;
    return 1;
}

// Text that devices sent, made safe for a terminal: control characters, escape sequences and the bidirectional
// overrides are shown as escapes, and tabs and newlines cannot break the columns.
QString listed(const QString& text) {
    QString out;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0) || c.category() == QChar::Other_Format)
            out += QStringLiteral("\\u{%1}").arg(u, 0, 16);
        else
            out += c;
    }
    return out;
}

QString time(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QByteArray readAll(const QString& path, bool* ok) {
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

// The managers' accounts, projects' state, pairing codes and the audit log; none for another command.
std::optional<int> manage(Studio& studio, const QStringList& args, const QCommandLineParser& parser) {
    const QString command = args.value(0) == u"account" ? u"account "_qs + args.value(1) : args.value(0);
    const QString name = parser.value(u"name"_qs);
    auto done = [](const Result<>& result, const QString& said) {
        if (!result)
            return fail(result.error().message());
        out() << said << Qt::endl;
        return 0;
    };
    auto password = [](const Result<QString>& made, const QString& account) {
        if (!made)
            return fail(made.error().message());
        out() << "Account: " << account << "\nPassword: " << *made << Qt::endl;
        return 0;
    };
    const bool named = command == u"account add" || command == u"account remove" || command == u"account password";
    if (named && name.isEmpty())
        return fail(QStringLiteral("%1 needs --name.").arg(command));
    if (command == u"account add") {
        const std::optional<Studio::Role> role = Studio::roleNamed(parser.value(u"role"_qs));
        if (!role)
            return fail(QStringLiteral("--role is administrator or viewer."));
        return password(studio.addAccount(name, *role), name);
    }
    if (command == u"account password")
        return password(studio.resetPassword(name), name);
    if (command == u"account remove")
        return done(studio.removeAccount(name), QStringLiteral("Account %1 removed.").arg(name));
    if (command == u"account list") {
        const Result<QList<Studio::Account>> accounts = studio.accounts();
        if (!accounts)
            return fail(accounts.error().message());
        for (const Studio::Account& account : *accounts)
            out() << listed(account.name) << '\t' << Studio::roleName(account.role) << '\n';
        out().flush();
        return 0;
    }
    if (command.startsWith(u"account"))
        return fail(QStringLiteral("account takes add, list, remove or password."));
    if (command == u"close-project" || command == u"reopen-project") {
        const QString project = parser.value(u"project"_qs);
        if (project.isEmpty())
            return fail(QStringLiteral("%1 needs --project.").arg(command));
        const bool close = command == u"close-project";
        return done(studio.setProjectClosed(project, close),
                    QStringLiteral("Project %1 is %2.").arg(project, close ? u"closed"_qs : u"open"_qs));
    }
    if (command == u"assign" || command == u"unassign") {
        const QString project = parser.value(u"project"_qs), user = parser.value(u"user"_qs);
        if (project.isEmpty() || user.isEmpty())
            return fail(QStringLiteral("%1 needs --project and --user.").arg(command));
        const bool assign = command == u"assign";
        return done(studio.setEditor(project, user, assign),
                    assign ? QStringLiteral("%1 may work on %2.").arg(user, project)
                           : QStringLiteral("%1 may no longer work on %2.").arg(user, project));
    }
    if (command == u"pairing-codes") {
        const Result<QList<Studio::CodeRow>> codes = studio.unusedPairingCodes();
        if (!codes)
            return fail(codes.error().message());
        for (const Studio::CodeRow& code : *codes)
            out() << code.reference << '\t' << listed(code.userName) << "\tvalid until " << time(code.expiresAt)
                  << '\n';
        out().flush();
        return 0;
    }
    if (command == u"revoke-code") {
        const QString reference = parser.value(u"reference"_qs);
        return done(studio.revokePairingCode(reference), QStringLiteral("Pairing code %1 revoked.").arg(reference));
    }
    if (command == u"audit-log") {
        const Result<QList<Studio::AuditRow>> entries = studio.auditLog(100000);
        if (!entries)
            return fail(entries.error().message());
        for (const Studio::AuditRow& entry : *entries)
            out() << time(entry.at) << '\t' << listed(entry.actor) << '\t' << entry.action << '\t'
                  << listed(entry.detail) << '\n';
        out().flush();
        return 0;
    }
    return std::nullopt;
}

int serve(Studio& studio, const QString& dir, const QCommandLineParser& parser) {
    auto fileOption = [&](const QString& name, const QString& fallback) {
        return parser.isSet(name) ? parser.value(name) : QDir(dir).filePath(fallback);
    };
    bool ok = false;
    StudioServer::Options options;
    options.tls.certificate = QSslCertificate(readAll(fileOption(u"certificate"_qs, u"server.pem"_qs), &ok), QSsl::Pem);
    const QByteArray key = ok ? readAll(fileOption(u"key"_qs, u"server-key.pem"_qs), &ok) : QByteArray();
    options.tls.key = QSslKey(key, QSsl::Ec, QSsl::Pem);
    if (options.tls.key.isNull())
        options.tls.key = QSslKey(key, QSsl::Rsa, QSsl::Pem);
    if (!ok || options.tls.certificate.isNull() || options.tls.key.isNull())
        return fail(QStringLiteral("serve needs a PEM --certificate and --key (or a studio made with init --host)."));
    if (parser.isSet(u"chain"_qs)) {
        options.tls.chain = QSslCertificate::fromPath(parser.value(u"chain"_qs), QSsl::Pem);
        if (options.tls.chain.isEmpty())
            return fail(QStringLiteral("The --chain file holds no certificate."));
    }
    // A whole number within bounds from a limit option; the complaint names the option.
    bool valid = true;
    auto limit = [&](const char* name, qint64 low, qint64 high) {
        bool parsed = false;
        const qint64 value = parser.value(QString::fromLatin1(name)).toLongLong(&parsed);
        if (valid && (!parsed || value < low || value > high)) {
            fail(QStringLiteral("--%1 needs a whole number from %2 to %3.")
                     .arg(QString::fromLatin1(name))
                     .arg(low)
                     .arg(high));
            valid = false;
        }
        return value;
    };
    HttpsServer::Limits& limits = options.tls.limits;
    limits.connections = int(limit("connections", 1, 1000000));
    limits.connectionsPerAddress = int(limit("connections-per-address", 1, 1000000));
    limits.headSeconds = int(limit("head-timeout", 1, 3600));
    limits.requestSeconds = int(limit("request-timeout", 1, 3600));
    limits.idleSeconds = int(limit("idle-timeout", 1, 3600));
    limits.connectionBufferBytes = limit("connection-buffer", 8 << 10, 16 << 20);
    limits.totalBodyBytes = limit("body-buffer-mb", 4, 1 << 20) << 20;
    limits.bodyBytesPerAddress = limit("body-buffer-per-address-mb", 4, 1 << 20) << 20;
    limits.threads = int(limit("threads", 1, 256));
    options.pairingPerAddress = int(limit("pairing-per-address", 1, 1000000));
    options.pairingTotal = int(limit("pairing-total", 1, 1000000));
    options.adminSignInsPerAddress = int(limit("admin-sign-ins", 1, 1000000));
    if (!valid)
        return 1;
    for (const QString& proxy : parser.values(u"trusted-proxy"_qs)) {
        const std::optional<proxy::Subnet> subnet = proxy::parseSubnet(proxy);
        if (!subnet)
            return fail(QStringLiteral("--trusted-proxy needs an IP address or ADDRESS/PREFIX, not “%1”.").arg(proxy));
        options.tls.trustedProxies.append(*subnet);
    }
    // Each connection is a descriptor: take what the system allows rather than the historical 1024.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        if (files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
            ::getrlimit(RLIMIT_NOFILE, &files);
        }
        // Beyond the descriptors there are, accepting fails for everyone: keep some for files and the database.
        constexpr rlim_t kSpare = 64;
        if (files.rlim_cur != RLIM_INFINITY && rlim_t(limits.connections) + kSpare > files.rlim_cur) {
            limits.connections = int(std::max<rlim_t>(files.rlim_cur, 2 * kSpare) - kSpare);
            QTextStream(stderr) << "vantrel-studio: only " << files.rlim_cur << " descriptors are allowed; serving "
                                << limits.connections << " connections at once (raise LimitNOFILE for more)"
                                << Qt::endl;
        }
    }
    options.expireAfterSeconds = parser.value(u"expire-after"_qs).toLongLong(&ok);
    if (!ok || options.expireAfterSeconds <= 0)
        return fail(QStringLiteral("--expire-after needs a positive number of seconds."));
    const qint64 quotaMb = parser.value(u"device-quota-mb"_qs).toLongLong(&ok);
    if (!ok || quotaMb <= 0 || quotaMb > (qint64(1) << 40))
        return fail(QStringLiteral("--device-quota-mb needs a positive number of megabytes."));
    studio.setDeviceQuota(quotaMb << 20);
    const QString listen = parser.value(u"listen"_qs);
    const qsizetype colon = listen.lastIndexOf(u':');
    QString host = listen.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    const uint port = listen.mid(colon + 1).toUInt(&ok);
    if (colon < 0 || address.isNull() || !ok || port > 65535)
        return fail(QStringLiteral("--listen needs an IP address and a port, such as 127.0.0.1:8443."));

    // Left by a process that ended while storing a report: its rows never committed, so it was never acknowledged.
    if (const Result<qint64> orphans = studio.removeOrphanedScreenshots(); !orphans)
        QTextStream(stderr) << "vantrel-studio: cannot look for orphaned screenshot files: "
                            << orphans.error().message() << Qt::endl;
    else
        QTextStream(stderr) << "vantrel-studio: removed " << *orphans
                            << " orphaned screenshot files (written for reports that were never stored)" << Qt::endl;
    StudioServer server(studio, options);
    if (!server.listen(address, quint16(port)))
        return fail(QStringLiteral("Cannot listen on %1: %2.").arg(listen, server.errorString()));
    out() << "Listening on https://" << listen.left(colon) << ':' << server.port() << Qt::endl;
    QTextStream(stderr) << "vantrel-studio " << QCoreApplication::applicationVersion() << ": serving on "
                        << listen.left(colon) << ':' << server.port() << "; " << limits.connections << " connections, "
                        << limits.connectionsPerAddress << " per address" << Qt::endl;
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    // Everything the studio writes (database, screenshots, keys) is for its own user alone.
    ::umask(077);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrel-studio"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTREL_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kUsage));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See the list above."));
    parser.addOptions({
        {u"data"_qs, QStringLiteral("The studio's folder."), u"dir"_qs},
        {u"host"_qs, QStringLiteral("init: make a throw-away CA and certificate for this host."), u"host"_qs},
        {u"name"_qs, QStringLiteral("add-user: the user's name."), u"name"_qs},
        {u"email"_qs, QStringLiteral("add-user: the user's e-mail address."), u"address"_qs},
        {u"title"_qs, QStringLiteral("add-project: the project's title."), u"title"_qs},
        {u"user"_qs, QStringLiteral("A user's e-mail address or name."), u"user"_qs},
        {u"device"_qs, QStringLiteral("revoke: the device's number (see devices)."), u"id"_qs},
        {u"role"_qs, QStringLiteral("account add: administrator or viewer."), u"role"_qs, u"viewer"_qs},
        {u"project"_qs, QStringLiteral("close-project, reopen-project: the project's id or title."), u"project"_qs},
        {u"reference"_qs, QStringLiteral("revoke-code: the code's reference (see pairing-codes)."), u"ref"_qs},
        {u"zone"_qs, QStringLiteral("time-zone: the studio's time zone, by its IANA name."), u"zone"_qs},
        {u"days"_qs, QStringLiteral("retention: days a screenshot is kept."), u"days"_qs},
        {u"valid-minutes"_qs, QStringLiteral("How long a pairing code stays valid."), u"minutes"_qs, u"1440"_qs},
        {u"certificate"_qs, QStringLiteral("Server certificate (PEM)."), u"file"_qs},
        {u"key"_qs, QStringLiteral("Server private key (PEM)."), u"file"_qs},
        {u"chain"_qs, QStringLiteral("Intermediate certificates (PEM)."), u"file"_qs},
        {u"listen"_qs, QStringLiteral("Address and port; port 0 picks a free one."), u"address:port"_qs,
         u"127.0.0.1:8443"_qs},
        {u"connections"_qs, QStringLiteral("serve: open connections at once."), u"n"_qs, u"10000"_qs},
        {u"connections-per-address"_qs, QStringLiteral("serve: open connections from one address."), u"n"_qs, u"32"_qs},
        {u"head-timeout"_qs, QStringLiteral("serve: time for a request's headers, from connecting or the last answer."),
         u"seconds"_qs, u"10"_qs},
        {u"request-timeout"_qs, QStringLiteral("serve: time for a request's body, from its headers."), u"seconds"_qs,
         u"60"_qs},
        {u"idle-timeout"_qs, QStringLiteral("serve: a connection silent this long is closed."), u"seconds"_qs,
         u"30"_qs},
        {u"connection-buffer"_qs, QStringLiteral("serve: bytes buffered for one connection's headers."), u"bytes"_qs,
         u"32768"_qs},
        {u"body-buffer-mb"_qs, QStringLiteral("serve: request bodies held at once; beyond it, 503."), u"megabytes"_qs,
         u"256"_qs},
        {u"body-buffer-per-address-mb"_qs, QStringLiteral("serve: request bodies held at once for one address."),
         u"megabytes"_qs, u"32"_qs},
        {u"threads"_qs, QStringLiteral("serve: threads serving connections."), u"n"_qs, u"2"_qs},
        {u"trusted-proxy"_qs,
         QStringLiteral(
             "serve: a load balancer whose PROXY preamble or Forwarded header names the client (repeatable)."),
         u"address[/prefix]"_qs},
        {u"pairing-per-address"_qs, QStringLiteral("serve: pairing attempts a minute from one address."), u"n"_qs,
         u"10"_qs},
        {u"pairing-total"_qs, QStringLiteral("serve: failed pairing attempts a minute from everywhere."), u"n"_qs,
         u"120"_qs},
        {u"admin-sign-ins"_qs, QStringLiteral("serve: sign-in password checks a minute from one address."), u"n"_qs,
         u"10"_qs},
        {u"database"_qs, QStringLiteral("Keep every table in this PostgreSQL database (postgresql://…)."), u"uri"_qs},
        {u"screenshots"_qs, QStringLiteral("Folder of the screenshots (default: the studio's folder)."), u"dir"_qs},
        {u"device-quota-mb"_qs, QStringLiteral("Screenshot storage allowed per device."), u"megabytes"_qs,
         QString::number(Studio::kDefaultDeviceQuotaBytes >> 20)},
        {u"expire-after"_qs, QStringLiteral("End open sessions silent for this long."), u"seconds"_qs, u"600"_qs},
    });
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const QString dir = parser.value(u"data"_qs);
    const Studio::Location location{dir, parser.value(u"database"_qs), parser.value(u"screenshots"_qs)};
    const qsizetype words = command == u"account" ? 2 : 1;
    if ((args.size() != words && command != u"api-token") || (dir.isEmpty() && location.database.isEmpty()))
        return fail(
            QStringLiteral("Give one command and --data with the studio's folder (or --database); see --help."));
    if (parser.isSet(u"host"_qs) && dir.isEmpty())
        return fail(QStringLiteral("init --host needs --data for the certificates."));
    if (command == u"serve" && dir.isEmpty() && location.screenshots.isEmpty())
        return fail(QStringLiteral("serve with --database needs --screenshots or --data for the screenshots."));
    auto required = [&](const char* name) {
        const QString value = parser.value(QString::fromLatin1(name));
        if (value.isEmpty())
            fail(QStringLiteral("%1 needs --%2.").arg(command, QString::fromLatin1(name)));
        return value;
    };

    const bool create = command == u"init";
    Result<std::unique_ptr<Studio>> opened = Studio::open(location, create);
    if (!opened)
        return fail(opened.error().message());
    Studio& studio = **opened;
    // The audit log names the account that ran the command and, through sudo, the person behind it.
    if (const passwd* user = ::getpwuid(::geteuid())) {
        const QString sudo = qEnvironmentVariable("SUDO_USER");
        studio.setActor(QStringLiteral("command line (%1%2)")
                            .arg(QString::fromLocal8Bit(user->pw_name),
                                 sudo.isEmpty() ? QString() : QStringLiteral(", sudo by ") + sudo));
    }

    auto printed = [](const auto& result, auto&& print) {
        if (!result)
            return fail(result.error().message());
        print(*result);
        return 0;
    };
    if (create && parser.isSet(u"host"_qs)) {
        const Result<CertificateAuthority> authority = CertificateAuthority::create(dir, parser.value(u"host"_qs));
        if (!authority)
            return fail(authority.error().message());
        if (Result<> stored = studio.setSetting(u"host"_qs, parser.value(u"host"_qs)); !stored)
            return fail(stored.error().message());
        out() << "CA certificate: " << authority->caFile << Qt::endl;
    }
    if (create || command == u"admin-password") {
        return printed(studio.resetAdminPassword(), [&](const QString& password) {
            out() << "Admin page account: admin\nAdmin password: " << password << Qt::endl;
        });
    }
    if (command == u"add-user") {
        const QString name = required("name");
        return name.isEmpty() ? 1 : printed(studio.addUser(name, parser.value(u"email"_qs)), [](qint64 id) {
            out() << "User " << id << " added." << Qt::endl;
        });
    }
    if (command == u"add-project") {
        const QString title = required("title");
        return title.isEmpty() ? 1
                               : printed(studio.addProject(title, parser.values(u"user"_qs)),
                                         [](const QString& id) { out() << id << Qt::endl; });
    }
    if (command == u"pairing-code") {
        const QString user = required("user");
        bool ok = false;
        const qint64 minutes = parser.value(u"valid-minutes"_qs).toLongLong(&ok);
        if (!ok || minutes <= 0)
            return fail(QStringLiteral("--valid-minutes needs a positive number."));
        return user.isEmpty() ? 1 : printed(studio.issuePairingCode(user, minutes * 60), [](const QString& code) {
            out() << code << Qt::endl;
        });
    }
    if (command == u"revoke") {
        const QString device = required("device");
        bool ok = false;
        const qint64 id = device.toLongLong(&ok);
        if (device.isEmpty() || !ok)
            return device.isEmpty() ? 1 : fail(QStringLiteral("--device takes the device's number (see devices)."));
        return printed(studio.revokeDevice(id), [&](auto) { out() << "Device " << id << " revoked." << Qt::endl; });
    }
    if (command == u"devices") {
        const Result<QList<Studio::DeviceRow>> devices = studio.devices();
        if (!devices)
            return fail(devices.error().message());
        for (const Studio::DeviceRow& device : *devices)
            out() << device.id << '\t' << listed(device.userName) << '\t' << listed(device.name) << "\tpaired "
                  << time(device.pairedAt)
                  << (device.revokedAt ? QStringLiteral("\trevoked ") + time(*device.revokedAt) : QString()) << '\n';
        out().flush();
        return 0;
    }
    if (command == u"sessions") {
        const Result<QList<Studio::SessionRow>> rows = studio.sessions(100000);
        if (!rows)
            return fail(rows.error().message());
        for (const Studio::SessionRow& row : *rows) {
            out() << row.id << '\t' << listed(row.userName) << '\t' << listed(row.projectTitle) << '\t'
                  << listed(row.stage) << '\t' << time(row.startedAt) << '\t'
                  << (row.endedAt ? time(*row.endedAt) : QStringLiteral("-")) << '\t'
                  << (row.endKind.isEmpty() ? QStringLiteral("open") : row.endKind) << '\t' << row.reports << " reports"
                  << (row.contiguous ? "" : " (gaps)") << '\t' << row.screenshotIds.size() << " screenshots\n";
        }
        out().flush();
        return 0;
    }
    if (command == u"time-zone") {
        if (parser.isSet(u"zone"_qs)) {
            if (Result<> set = studio.setTimeZone(parser.value(u"zone"_qs)); !set)
                return fail(set.error().message());
        }
        return printed(studio.timeZone(), [](const QTimeZone& zone) {
            out() << "The studio's days are those of " << zone.id() << Qt::endl;
        });
    }
    if (command == u"retention") {
        bool ok = true;
        const int days = parser.value(u"days"_qs).toInt(&ok);
        if (parser.isSet(u"days"_qs)) {
            if (Result<> set = ok ? retention::setDays(studio, days) : retention::setDays(studio, 0); !set)
                return fail(set.error().message());
        }
        return printed(retention::status(studio), [](const retention::Status& kept) {
            out() << "Screenshots are kept for " << kept.days << " days." << Qt::endl;
        });
    }
    if (command == u"api-token") {
        QTextStream err(stderr);
        return apiTokenCommand(studio, args.mid(1), out(), err);
    }
    if (std::optional<int> managed = manage(studio, args, parser))
        return *managed;
    if (command == u"serve")
        return serve(studio, dir, parser);
    return fail(QStringLiteral("Unknown command “%1”; see --help.").arg(command));
}
