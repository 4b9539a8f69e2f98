#pragma once

#include "records/Error.h"

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A throw-away certificate authority and one server certificate signed by it, made with the openssl command line.
// For tests and the demo: the client trusts `ca`, the server presents `certificate` with `key`.
struct CertificateAuthority {
    QSslCertificate ca;
    QSslCertificate certificate;
    QSslKey key;
    QString caFile; // PEM files in the directory passed to create()
    QString certificateFile;
    QString keyFile;

    // Writes ca.pem, ca-key.pem, server.pem and server-key.pem into `dir` (which must exist) for `hostName`.
    static Result<CertificateAuthority> create(const QString& dir, const QString& hostName);
    // Reads the files that create() wrote.
    static Result<CertificateAuthority> load(const QString& dir);
};
