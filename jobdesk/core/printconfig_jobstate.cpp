#include "printconfig.h"

#include <QDebug>
#include <QTime>

namespace {

struct StateText {
    const char *word;
    const char *text;
    bool final;
};

// Looked for in this order; the first word found decides.
const StateText kStates[] = {
    {"Completed", "打印完成", true},
    {"Cancelled", "用户取消", true},
    {"Failure", "打印失败", true},
    {"Queueing", "等待中", false},
    {"Processing", "处理中", false},
    {"Printing", "打印中", false},
};

} // namespace

void PrintConfig::onGetJobPrinterStatus(QString printerStatus, QString jobID)
{
    // Any other word (2001, 3001, "0" after a failed poll) ends the job as failed.
    QString word;
    QString text = QStringLiteral("打印失败");
    bool final = true;
    for (const StateText &s : kStates) {
        if (printerStatus.indexOf(QLatin1String(s.word)) >= 0) {
            word = QLatin1String(s.word);
            text = QString::fromUtf8(s.text);
            final = s.final;
            break;
        }
    }

    if (!final) {
        rewriteJobRows(jobID, text, false, false);
        return;
    }

    int entry = -1;
    for (int i = 0; i < m_jobWatchList.size(); ++i) {
        if (m_jobWatchList.at(i).jobId == jobID) {
            entry = i;
            break;
        }
    }
    if (entry < 0)
        return;

    if (word == QLatin1String("Completed")) {
        removeJobStatus(jobID, m_jobWatchList.at(entry).printerIp);
        m_jobWatchList.removeAt(entry);
        updateJobRecord(jobID, text);
        rewriteJobRows(jobID, text, true, true);
    } else {
        updateJobRecord(jobID, text);
        rewriteJobRows(jobID, text, true, false);
        m_jobWatchList.removeAt(entry);
    }
}

void PrintConfig::rewriteJobRows(const QString &jobID, const QString &stateText, bool mark, bool logRows)
{
    const QString rowId = jobRowId(jobID);
    QStringList &rows = mPrinterTask.m_workFileList;
    for (int r = 0; r < rows.size(); ++r) {
        if (rows.at(r).section(QLatin1Char('|'), 0, 0) != rowId)
            continue;
        if (logRows)
            qDebug() << "mPrinterTask.m_workFileList" << rows.at(r);
        rows[r] = withRowState(rows.at(r), stateText);
        if (logRows)
            qDebug() << "mPrinterTask.m_workFileList" << rows.at(r);
        if (mark)
            rows[r] += QLatin1Char('|') + QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
        mPrinterTask.updateTaskTable();
    }
}
