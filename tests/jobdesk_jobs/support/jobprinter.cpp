#include "jobprinter.h"

#include <QRandomGenerator>
#include <QTcpServer>

namespace testjob {

QString JobPrinter::jobDir(const QString &jobId) const
{
    // The stand-in's folder name for a job id.
    QString folder = jobId;
    folder.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    if (folder.isEmpty() || folder.startsWith(QLatin1Char('.')))
        folder.prepend(QStringLiteral("job"));
    return store() + QLatin1Char('/') + folder;
}

QByteArray JobPrinter::jobFile(const QString &jobId, const QString &name) const
{
    return storeFile(jobDir(jobId).mid(store().size() + 1) + QLatin1Char('/') + name);
}

QStringList JobPrinter::parts(const QString &jobId) const
{
    return QString::fromUtf8(jobFile(jobId, QStringLiteral("parts.txt"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString JobPrinter::unusedHost()
{
    // Printers take 127.0.0.100-199; 200-249 are kept free of them.
    for (int i = 0; i < 50; ++i) {
        const QString host = QStringLiteral("127.0.0.%1").arg(200 + int(QRandomGenerator::global()->bounded(50)));
        QTcpServer probe;
        if (probe.listen(QHostAddress(host), 9100))
            return host;
    }
    return QStringLiteral("127.0.0.249");
}

} // namespace testjob
