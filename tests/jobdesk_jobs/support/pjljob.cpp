#include "pjljob.h"

#include <QFile>
#include <QVector>

namespace testjob {

namespace {

const QByteArray kUel = QByteArray("\x1b%-12345X");

void putLe32(char *p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((v >> (8 * i)) & 0xff);
}

QByteArray pageRecordHead(quint32 payload, int paperCode)
{
    char r[34] = {};
    r[0] = '\x1b';
    r[1] = 'E';
    char *h = r + 2;
    h[0] = 'G';
    h[1] = 'D';
    h[2] = 'I';
    putLe32(h + 4, 4960);
    putLe32(h + 8, 7040);
    putLe32(h + 12, 4960 / 8 * 7040);
    putLe32(h + 16, payload);
    putLe32(h + 20, 1234);
    h[24] = char(paperCode);
    h[25] = 8;
    h[28] = 1;
    h[29] = 1;
    h[31] = 1;
    return QByteArray(r, sizeof r);
}

} // namespace

QByteArray pjlHeader(const PjlJob &job)
{
    QByteArray out;
    out += "\x1b" "E" + kUel + "@PJL CANCEL\r\n@PJL EOJ\r\n" + kUel;
    out += QByteArray(512, '\0');
    const QByteArray crlf = "\r\n";
    out += kUel + "@PJL" + crlf;
    out += "@PJL JOB NAME=\"123456\"" + crlf;
    out += "@PJL SET TIMEOUT=300" + crlf;
    out += "@PJL COMMENT Filter Version,1.0.0" + crlf;
    out += "@PJL COMMENT " + job.title + crlf;
    out += "@PJL COMMENT " + job.user + crlf;
    out += "@PJL COMMENT " + job.host + crlf;
    out += "@PJL COMMENT " + job.queue + crlf;
    out += "@PJL COMMENT " + job.deviceUri + crlf;
    out += "@PJL COMMENT " + crlf;
    out += "@PJL COMMENT 2026/12/10" + crlf;
    out += "@PJL COMMENT 09:30:00:00" + crlf;
    out += "@PJL COMMENT JBIG,00, 8" + crlf;
    out += "@PJL COMMENT Copies," + QByteArray::number(job.copies) + crlf;
    out += "@PJL COMMENT " + crlf;
    out += "@PJL SET JOBNAME=\"" + job.user + ":" + job.title + "\"" + crlf;
    out += "@PJL SET ECONOMODE=OFF" + crlf;
    out += "@PJL SET DENSITY=1" + crlf;
    out += "@PJL SET AUTOSELECT=OFF" + crlf;
    out += QByteArray("@PJL SET DUPLEX=") + (job.duplex ? "ON" : "OFF") + crlf;
    out += "@PJL SET DUPLEXTYPE=BOOKLET" + crlf;
    out += "@PJL SET RESOLUTION=600" + crlf;
    if (job.encrypted)
        out += "@PJL SET ENCRYPTION = SSL" + crlf;
    out += "@PJL SET COPIES=" + QByteArray::number(job.copies) + crlf;
    out += "@PJL ENTER LANGUAGE=QZGDI" + crlf;
    return out;
}

QByteArray pjlClose()
{
    return QByteArray("\x1b" "E") + kUel + "@PJL\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + kUel;
}

bool writePjlJob(const QString &path, const PjlJob &job)
{
    const QByteArray head = pjlHeader(job);
    const QByteArray tail = pjlClose();
    const int pages = qMax(job.pages, 0);
    QVector<qint64> payload(pages, 4096);
    if (job.totalSize > 0 && pages > 0) {
        qint64 room = job.totalSize - head.size() - tail.size() - qint64(pages) * 34;
        if (room < pages)
            return false;
        for (int i = 0; i < pages; ++i)
            payload[i] = room / pages + (i < room % pages ? 1 : 0);
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    bool ok = f.write(head) == head.size();
    quint32 state = job.seed * 2654435761u + 1;
    QByteArray chunk(1 << 16, '\0');
    for (int i = 0; i < pages && ok; ++i) {
        if (job.encrypted) {
            // u32 ciphertext length, then the ciphertext; the header keeps the
            // (shorter) plaintext size, as an encrypted page record does.
            const qint64 cipher = payload[i] - 4;
            char len[4];
            putLe32(len, quint32(cipher));
            ok = f.write(pageRecordHead(quint32(qMax<qint64>(cipher - 16, 0)), job.paperCode)) == 34
                 && f.write(len, 4) == 4;
            payload[i] = cipher;
        } else {
            ok = f.write(pageRecordHead(quint32(payload[i]), job.paperCode)) == 34;
        }
        for (qint64 left = payload[i]; left > 0 && ok;) {
            const int n = int(qMin<qint64>(left, chunk.size()));
            for (int k = 0; k < n; ++k) {
                state = state * 1664525u + 1013904223u;
                chunk[k] = char(state >> 24);
            }
            ok = f.write(chunk.constData(), n) == n;
            left -= n;
        }
    }
    ok = ok && f.write(tail) == tail.size();
    f.close();
    return ok;
}

} // namespace testjob
