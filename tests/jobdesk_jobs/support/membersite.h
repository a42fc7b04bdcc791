// The fixed folders as the package leaves them, under a private root
// (SPOOLBAY_TEST_ROOT), and the real job desk started there in the session of
// a member of the group: its own uid and group, the group as a supplementary
// one, umask 022, a home folder of its own. Members and outsiders are numeric
// ids only; everything here needs root and setpriv.
#pragma once

#include "pjljob.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

namespace testjob {

constexpr gid_t kPorvik = 4300;
constexpr uid_t kAlice = 4301;
constexpr uid_t kBob = 4302;

class MemberSite
{
public:
    // Empty when sites can be made here, else why not.
    static QString unusable();

    MemberSite();
    ~MemberSite();

    bool ok() const { return m_ok; }
    QString root() const { return m_root.path(); }
    // "/var/porvik/" + relative, under the root.
    QString porvik(const QString &relative) const;
    QString spool(const QString &name) const { return porvik(QStringLiteral("SPOOL/") + name); }
    // The user's own home (0700), made on first use.
    QString home(uid_t uid) const;
    // Where that user's job desk keeps its copies of the jobs in work.
    QString jobCopies(uid_t uid) const { return home(uid) + QStringLiteral("/.cache/spoolbay"); }
    // A folder for handshakes between a converter script and the test,
    // which every user may write.
    QString handshake(const QString &name) const;

    // The converter tool, root's 0755: the stand-in; or a script that runs
    // `script` with the tool's arguments, where "$REAL" is the stand-in;
    // or none at all.
    void installConverter(const QByteArray &script = QByteArray());
    void removeConverter();

    // Starts the job desk as uid with a fresh log; true once its listener
    // runs (its start-up purge done). extraEnv: "NAME=value" entries;
    // workDir: its working folder, the root when empty.
    bool startDesk(uid_t uid, const QStringList &extraEnv = {}, const QString &workDir = QString());
    // Ends it; true when it was still running until then.
    bool stopDesk();
    bool deskRunning() const { return m_desk.state() == QProcess::Running; }
    // The job desk's log file, and how many of its lines hold text.
    QByteArray log() const;
    int logLines(const QByteArray &text) const;

    // Runs a shell command as uid (the group a supplementary one of it
    // when `member`); its exit status, -1 when it did not run.
    int runAs(uid_t uid, const QString &command, bool member = true) const;
    // Hands a job over as a backend does: each file written whole beside the
    // spool folder, root:porvik 0660, renamed in, the companion last.
    bool handOver(const QByteArray &name, const QByteArray &job, const QByteArray &companion = QByteArray()) const;
    bool handOver(const QByteArray &name, const PjlJob &job, const QByteArray &companion = QByteArray()) const;

private:
    QTemporaryDir m_root;
    QString m_setpriv;
    QProcess m_desk;
    bool m_ok = false;
};

// Owner, group and mode of a file, as chown and chmod set them.
bool setOwner(const QString &path, uid_t owner, gid_t group, mode_t mode);

} // namespace testjob
