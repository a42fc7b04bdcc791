// The printer stand-in of one test: a free loopback address, its store in a
// temporary folder, and the per-job files the stand-in keeps there.
#pragma once

#include "simprinter.h"

#include <QTemporaryDir>

namespace testjob {

struct TemporaryStore {
    QTemporaryDir dir;
};

class JobPrinter : private TemporaryStore, public SimPrinterProcess
{
public:
    explicit JobPrinter(const QStringList &args = {}) : SimPrinterProcess(QString(), dir.path(), args) {}

    QString jobDir(const QString &jobId) const;
    QByteArray jobFile(const QString &jobId, const QString &name) const;
    // Lines of JOBID/parts.txt: "N filename bytes reply".
    QStringList parts(const QString &jobId) const;

    // A loopback address where no printer listens (never one a printer takes).
    static QString unusedHost();
};

} // namespace testjob
