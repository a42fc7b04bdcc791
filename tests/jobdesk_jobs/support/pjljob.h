// Writes spool files shaped like the jobs of our raster filter: cancel
// prologue, PJL job header, QZGDI page records, close sequence.
#pragma once

#include <QByteArray>
#include <QString>

namespace testjob {

struct PjlJob {
    QByteArray title = "report.pdf";
    QByteArray user = "alice";
    QByteArray host = "desk01";
    QByteArray queue = "127.0.0.2";
    QByteArray deviceUri = "socket://127.0.0.2:9100";
    int copies = 1;
    bool duplex = false;
    int pages = 2;
    int paperCode = 2;          // engine code of A4
    bool encrypted = false;     // pages carry their ciphertext length first
    qint64 totalSize = 0;       // exact file size; 0 = small pages
    quint32 seed = 1;           // page bytes are pseudo-random from this
};

// Writes the job to `path`; returns false if the file cannot be written.
// With totalSize set, the page payloads are sized so the file has exactly
// that many bytes (it must leave room for the header and one byte a page).
bool writePjlJob(const QString &path, const PjlJob &job);

// Header and close sequence alone, for tests that cut or extend a job.
QByteArray pjlHeader(const PjlJob &job);
QByteArray pjlClose();

} // namespace testjob
