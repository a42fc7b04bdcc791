// The job controller: builds and wires the running job desk and drives the
// job pipeline from spool file to upload and tracking.
#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

#include "joblogdb.h"
#include "listenstatus.h"
#include "printertask.h"
#include "status.h"
#include "ui_printconfig.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class HttpServices;
class ListenFile;
namespace spoolfiles
{
class CheckedFile;
}
namespace jobcopy
{
class JobCopy;
}

class PrintConfig : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kReadBufferSize = 409600;
    static constexpr int kPrinterStatusIntervalMs = 1000;

    explicit PrintConfig(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~PrintConfig() override;

    // Job pipeline and requests.
    void clearStatus();
    bool isFileComplete();
    bool copyJobFiles();
    void runPrnTool();
    bool readPrinterInfo();
    bool ensureDirectory(const QString &path);
    void insertJobRecord();
    void updateJobRecord(QString jobName, QString stateText);
    void writeJobTicket();
    void sendPrintJob();
    void addJobToList();
    void removeJobStatus(QString jobId, QString printerAddress);
    QString buildWaterMarkRequest();
    void showSubmitDialog();

signals:
    void sigRemoveFile(QString fileName);
    void sigListenStatus(QString jobId, QString fileName, QString createTime, QString printerName);
    void sigRemoveJob(QString sJobId);
    void sendPrinterStatus(QString ip, QStringList status);
    void sendAddPrinterAsk(QString ip, QStringList list, bool now);

public slots:
    void onBtnClicked();
    void onRadionBtnClicked();
    void onFindFile(QString fileName);
    void onMessageCallback(int status_code, int user_type, QString strReply, QString jobid, QString ip);
    void onPrinterStatusTimeOut();
    void onSocketMessage(QString message);
    void onFlushPrinterStatus(QString ip);
    void onGetJobStatus();
    void onCancelJob(QString info);
    void onGetPrinterInfo();
    void onJobCancel(int status_code, int user_type, QString strReply, QString sJobId, QString ip);
    void onGetJobPrinterStatus(QString printerStatus, QString jobID);
    void onPrinterCallback(int status, QString ip, QStringList errcode);
    void onRemoveJobStatus(int status_code, int user_type, QString strReply, QString sJobId, QString ip);

public:
    QSystemTrayIcon *m_trayIcon = nullptr;
    Ui_PrintConfigClass ui;
    QString m_spoolDir;

    // CurrentJob: the spool file now in the pipeline and its printer information.
    QString SpoolFile;
    QString RemoveFile;
    QString XmlFile;
    QString SpoolStem;
    QString JobName;
    QString JobLabel;
    int Copies = 0;
    QString JPrinterName;
    QString PortName;
    int Duplex = 0;
    int Pages = 0;
    QString Color;
    QString Collate;
    QString FileName;
    QString DomainAccount;
    int PaperSize = 0;
    QString ProcessedFileName;
    QString ProcessedFileSize;
    QString ProcessedFileTime;
    QString ComputerName;
    QString WorkGroup;
    QString Domain;
    QString PrintServer;
    QString PrintServerAccount;
    QString CheckBit;
    QString DriverName;
    QString PrinterAddress;
    QString IPAddr;
    QString HostInterface;
    QString DepName;
    QString BarcodeText;

    // Submit dialog and watermark settings.
    QString SecLevel;
    QString Remark;
    QString BarcodeTemplate;
    QString BarcodePosition;

    ListenFile *m_listenFile = nullptr;
    QTimer *m_printerStatusTimer = nullptr;
    int mFlag = 0;
    QList<JobWatchItem> m_jobWatchList;
    QStringList m_jobNameList;
    ListenStatus *m_listenStatus = nullptr;
    QAction *m_jobListAction = nullptr;
    QAction *m_printerStatusAction = nullptr;
    QMenu *m_trayMenu = nullptr;
    PrinterTask mPrinterTask;
    Status mStatus;
    QList<HttpServices *> m_uploadClients;
    QByteArray m_readBuffer;
    QList<JobRecord> m_jobRecords;
    QEventLoop m_uploadLoop;
    // The job whose spool file was handed over, until its upload has ended;
    // empty while no job is in the pipeline.
    QString m_pipelineJob;
    // An upload is waiting in m_uploadLoop, which must not be entered twice.
    bool m_uploading = false;
    // SpoolFile as it passed the completeness check, until the job ends.
    std::shared_ptr<spoolfiles::CheckedFile> m_checkedSpool;
    // The job's own copy of those bytes and of its companion, which the
    // converter tool and every later step use, until the job ends.
    std::shared_ptr<jobcopy::JobCopy> m_jobCopy;
    // The job-list state of the current upload's failure, empty while none.
    QString m_uploadFailure;

private:
    // --- job pipeline helpers (jpipe) ---
    // sendPrintJob's work, run once at a time.
    void runUpload();
    // Empties the per-job fields (all but JobName) as a fresh job expects them.
    void resetJobFields();
    // Ends an intake try that did not take the file: fields reset, files left in place.
    void leaveIntake();
    // The ticket as stored in XmlFile, extended with MediaSize, HostInterface and Sec.
    QString extendedJobTicket() const;
    // Ends an upload that did not reach its final part, or whose final part
    // was refused: the job is logged and listed as failed, never watched.
    void endFailedUpload();
    // Job id as written in a job-list row, and back: "|" would split the
    // row's fields, so it is written as "/", which no job id holds.
    static QString jobRowId(const QString &jobId);
    static QString jobIdOfRow(const QString &rowId);
    // Row with its state field (the third) replaced.
    static QString withRowState(const QString &row, const QString &state);
    void rewriteJobRows(const QString &jobID, const QString &stateText, bool mark, bool logRows);
    // --- end of job pipeline helpers ---

    // Asks a worker thread's event loop to end and waits for it.
    static void stopThread(QThread *thread);
};
