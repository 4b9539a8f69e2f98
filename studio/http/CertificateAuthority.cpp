#include "http/CertificateAuthority.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>

namespace {

constexpr int kOpensslMs = 60 * 1000;

Result<> openssl(const QString& dir, const QStringList& arguments) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForStarted(kOpensslMs))
        return Error::platform(QStringLiteral("The openssl command could not be started."));
    if (!process.waitForFinished(kOpensslMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return Error::platform(QStringLiteral("openssl %1 failed: %2")
                                   .arg(arguments.value(0), QString::fromLocal8Bit(process.readAll()).trimmed()));
    return {};
}

Result<QByteArray> readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error::platform(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    return file.readAll();
}

QStringList ecKey() {
    return {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
}

} // namespace

Result<CertificateAuthority> CertificateAuthority::create(const QString& dir, const QString& hostName) {
    // The name goes into an openssl extension file: accept host names and addresses only.
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]{0,252})$"));
    const bool isAddress = !QHostAddress(hostName).isNull();
    if (!isAddress && !hostPattern.match(hostName).hasMatch())
        return Error::platform(QStringLiteral("“%1” is not a host name.").arg(hostName));
    const QDir folder(dir);
    if (!folder.exists())
        return Error::platform(QStringLiteral("The folder %1 does not exist.").arg(dir));

    QFile extensions(folder.filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return Error::platform(QStringLiteral("Cannot write %1.").arg(extensions.fileName()));
    // The loopback address too, so that a browser on this machine can open the admin page by address.
    const QByteArray names =
        isAddress ? QByteArray("IP:" + hostName.toUtf8()) : QByteArray("DNS:" + hostName.toUtf8() + ",IP:127.0.0.1");
    extensions.write("subjectAltName=" + names +
                     "\n"
                     "basicConstraints=critical,CA:FALSE\n"
                     "keyUsage=critical,digitalSignature\n"
                     "extendedKeyUsage=serverAuth\n");
    extensions.close();

    const QString days = QStringLiteral("30");
    Result<> step =
        openssl(dir, QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey() +
                         QStringList{QStringLiteral("-keyout"), QStringLiteral("ca-key.pem"), QStringLiteral("-out"),
                                     QStringLiteral("ca.pem"), QStringLiteral("-days"), days, QStringLiteral("-subj"),
                                     QStringLiteral("/CN=Vantrel Test CA"), QStringLiteral("-addext"),
                                     QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                                     QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
    if (step)
        step = openssl(dir, QStringList{QStringLiteral("req"), QStringLiteral("-new")} + ecKey() +
                                QStringList{QStringLiteral("-keyout"), QStringLiteral("server-key.pem"),
                                            QStringLiteral("-out"), QStringLiteral("server.csr"),
                                            QStringLiteral("-subj"), QStringLiteral("/CN=") + hostName});
    if (step)
        step = openssl(dir, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                             QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                             QStringLiteral("-CAkey"), QStringLiteral("ca-key.pem"), QStringLiteral("-CAcreateserial"),
                             QStringLiteral("-days"), days, QStringLiteral("-extfile"), QStringLiteral("server.ext"),
                             QStringLiteral("-out"), QStringLiteral("server.pem")});
    if (!step)
        return step.error();
    return load(dir);
}

Result<CertificateAuthority> CertificateAuthority::load(const QString& dir) {
    const QDir folder(dir);
    CertificateAuthority result;
    result.caFile = folder.filePath(QStringLiteral("ca.pem"));
    result.certificateFile = folder.filePath(QStringLiteral("server.pem"));
    result.keyFile = folder.filePath(QStringLiteral("server-key.pem"));
    const Result<QByteArray> ca = readFile(result.caFile);
    const Result<QByteArray> certificate = readFile(result.certificateFile);
    const Result<QByteArray> key = readFile(result.keyFile);
    for (const auto* part : {&ca, &certificate, &key}) {
        if (!*part)
            return part->error();
    }
    result.ca = QSslCertificate(*ca, QSsl::Pem);
    result.certificate = QSslCertificate(*certificate, QSsl::Pem);
    result.key = QSslKey(*key, QSsl::Ec, QSsl::Pem);
    if (result.ca.isNull() || result.certificate.isNull() || result.key.isNull())
        return Error::platform(QStringLiteral("The certificates in %1 cannot be read.").arg(dir));
    return result;
}
