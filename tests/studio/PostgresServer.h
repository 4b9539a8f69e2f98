#pragma once

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

// A private PostgreSQL server for one suite: a fresh cluster in a temporary folder, reached through a unix socket
// there.  The server refuses to run as root, so under root it runs as the postgres user.
class PostgresServer final {
public:
    PostgresServer() {
        const QStringList versions = QDir(u"/usr/lib/postgresql"_qs).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        m_bin = u"/usr/lib/postgresql/"_qs + versions.value(versions.size() - 1) + u"/bin/"_qs;
        m_ok = (::geteuid() != 0 || QProcess::execute(u"chown"_qs, {u"postgres:"_qs, m_dir.path()}) == 0) &&
               pg(u"initdb"_qs, {u"-U"_qs, u"vantrel"_qs, u"-A"_qs, u"trust"_qs, u"--no-sync"_qs}) &&
               pg(u"pg_ctl"_qs, {u"-l"_qs, m_dir.filePath(u"log"_qs), u"-w"_qs, u"-o"_qs,
                                 u"-k "_qs + m_dir.path() + u" -c listen_addresses='' -F"_qs, u"start"_qs});
    }
    ~PostgresServer() {
        if (m_ok)
            pg(u"pg_ctl"_qs, {u"-m"_qs, u"immediate"_qs, u"-w"_qs, u"stop"_qs});
    }
    bool ok() const { return m_ok; }
    bool restart() {
        return pg(u"pg_ctl"_qs, {u"-l"_qs, m_dir.filePath(u"log"_qs), u"-m"_qs, u"fast"_qs, u"-w"_qs, u"restart"_qs});
    }
    QString connection() const { return u"host=%1 user=vantrel dbname=postgres"_qs.arg(m_dir.path()); }

private:
    bool pg(const QString& tool, const QStringList& arguments) {
        const QStringList command = QStringList{m_bin + tool, u"-D"_qs, m_dir.filePath(u"data"_qs)} + arguments;
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel); // the reason of a failure, in the test log
        process.start(::geteuid() ? command[0] : u"runuser"_qs,
                      ::geteuid() ? command.mid(1) : QStringList{u"-u"_qs, u"postgres"_qs, u"--"_qs} + command);
        return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    QTemporaryDir m_dir{QDir::tempPath() + u"/vantrel-pg.XXXXXX"_qs};
    QString m_bin;
    bool m_ok = false;
};
