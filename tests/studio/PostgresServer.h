#pragma once

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

// A private PostgreSQL server for one suite: a fresh cluster in a temporary folder, reached through a unix socket
// in that folder only.  The server refuses to run as root, so under root it runs as the postgres user.
class PostgresServer final {
public:
    PostgresServer() {
        const QStringList versions = QDir(u"/usr/lib/postgresql"_qs).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        m_bin = u"/usr/lib/postgresql/"_qs + versions.value(versions.size() - 1) + u"/bin/"_qs;
        if (::geteuid() == 0)
            run(u"chown"_qs, {u"postgres:postgres"_qs, m_dir.path()}, false);
        m_ok = run(m_bin + u"initdb"_qs,
                   {u"-D"_qs, data(), u"-U"_qs, u"vantrel"_qs, u"-A"_qs, u"trust"_qs, u"--no-sync"_qs}) &&
               run(m_bin + u"pg_ctl"_qs, {u"-D"_qs, data(), u"-l"_qs, m_dir.filePath(u"log"_qs), u"-w"_qs, u"-o"_qs,
                                          u"-k "_qs + m_dir.path() + u" -c listen_addresses='' -F"_qs, u"start"_qs});
    }
    ~PostgresServer() {
        if (m_ok)
            run(m_bin + u"pg_ctl"_qs, {u"-D"_qs, data(), u"-m"_qs, u"immediate"_qs, u"-w"_qs, u"stop"_qs});
    }
    bool ok() const { return m_ok; }
    const QString& error() const { return m_error; }
    // libpq keywords for a database of this server ("postgres" always exists).
    QString connection(const QString& database = u"postgres"_qs) const {
        return u"host=%1 user=vantrel dbname=%2"_qs.arg(m_dir.path(), database);
    }
    bool createDatabase(const QString& name) {
        return run(m_bin + u"createdb"_qs, {u"-h"_qs, m_dir.path(), u"-U"_qs, u"vantrel"_qs, name});
    }

private:
    QString data() const { return m_dir.filePath(u"data"_qs); }
    bool run(const QString& program, const QStringList& arguments, bool asPostgres = true) {
        QProcess process;
        if (asPostgres && ::geteuid() == 0)
            process.start(u"runuser"_qs, QStringList{u"-u"_qs, u"postgres"_qs, u"--"_qs, program} + arguments);
        else
            process.start(program, arguments);
        const bool ok =
            process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok)
            m_error += program + u": "_qs + QString::fromLocal8Bit(process.readAllStandardError());
        return ok;
    }

    QTemporaryDir m_dir{QDir::tempPath() + u"/vantrel-pg.XXXXXX"_qs};
    QString m_bin;
    QString m_error;
    bool m_ok = false;
};
