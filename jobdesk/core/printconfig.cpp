#include "printconfig.h"

#include "jobcopy.h"
#include "listenfile.h"
#include "listenstatus.h"
#include "paths.h"
#include "startup.h"

#include <QAction>
#include <QDebug>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// Wiring is by signature; a failed connection is a build fault, so say so loudly.
void wire(const QObject *sender, const char *signal, const QObject *receiver, const char *method)
{
    if (!QObject::connect(sender, signal, receiver, method))
        qDebug() << "connect failed:" << signal << "->" << method;
}

} // namespace

PrintConfig::PrintConfig(QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
{
    initSpoolbayResources();
    DepName = QString::fromLatin1("");
    BarcodeText = QString::fromLatin1("");

    ui.setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowMinimizeButtonHint & ~Qt::WindowMaximizeButtonHint);

    wire(ui.pushButton_ok, SIGNAL(clicked()), this, SLOT(onBtnClicked()));
    wire(ui.pushButton_cancel, SIGNAL(clicked()), this, SLOT(onBtnClicked()));
    wire(ui.radioButton, SIGNAL(clicked()), this, SLOT(onRadionBtnClicked()));
    wire(ui.radioButton_1, SIGNAL(clicked()), this, SLOT(onRadionBtnClicked()));
    wire(ui.radioButton_2, SIGNAL(clicked()), this, SLOT(onRadionBtnClicked()));
    wire(ui.radioButton_3, SIGNAL(clicked()), this, SLOT(onRadionBtnClicked()));
    wire(ui.radioButton_4, SIGNAL(clicked()), this, SLOT(onRadionBtnClicked()));

    if (QSystemTrayIcon::isSystemTrayAvailable())
        qDebug() << "this system support systemtray";
    else
        qDebug() << "this system not support systemtray";

    const QString spoolDir = paths::spoolDir();
    if (!ensureDirectory(spoolDir))
        qDebug().noquote() << QString::fromLatin1(paths::kSpoolDir) + QStringLiteral("  create failed");

    m_spoolDir = spoolDir;
    // Before any job: the copies an earlier run left are of jobs it ended.
    jobcopy::sweepEarlierCopies();
    m_listenFile = new ListenFile(m_spoolDir);
    wire(m_listenFile, SIGNAL(sigFindFile(QString)), this, SLOT(onFindFile(QString)));
    wire(this, SIGNAL(sigRemoveFile(QString)), m_listenFile, SLOT(onRemoveFile(QString)));
    wire(m_listenFile, SIGNAL(sigSocket(QString)), this, SLOT(onSocketMessage(QString)));
    m_listenFile->start(QThread::InheritPriority);

    m_printerStatusTimer = new QTimer();
    m_printerStatusTimer->setInterval(kPrinterStatusIntervalMs);
    wire(m_printerStatusTimer, SIGNAL(timeout()), this, SLOT(onPrinterStatusTimeOut()));
    mFlag = 0;

    m_listenStatus = new ListenStatus();
    m_listenStatus->start(QThread::InheritPriority);

    wire(this, SIGNAL(sigListenStatus(QString,QString,QString,QString)),
         m_listenStatus, SLOT(addJobWatch(QString,QString,QString,QString)));
    wire(m_listenStatus, SIGNAL(sigSendPrinterStatus(QString,QString)),
         this, SLOT(onGetJobPrinterStatus(QString,QString)));
    wire(m_listenStatus, SIGNAL(sigPrinterStatus(int,QString,QStringList)),
         this, SLOT(onPrinterCallback(int,QString,QStringList)));
    wire(this, SIGNAL(sigRemoveJob(QString)), m_listenStatus, SLOT(removeJobId(QString)));
    wire(this, SIGNAL(sendPrinterStatus(QString,QStringList)),
         &mStatus, SLOT(onWritePrinterStatus(QString,QStringList)));
    wire(this, SIGNAL(sendAddPrinterAsk(QString,QStringList,bool)),
         m_listenStatus, SLOT(onAddPrinterAsk(QString,QStringList,bool)));
    wire(&mStatus, SIGNAL(flushPrinterStatusNow(QString)), this, SLOT(onFlushPrinterStatus(QString)));

    m_trayIcon = new QSystemTrayIcon(this);
    // The icon is set before the icon is shown so the tray never gets an empty one.
    m_trayIcon->setIcon(QIcon(QStringLiteral(":/InstallMessagePush.png")));
    m_trayIcon->setVisible(true);
    m_trayIcon->setToolTip(QStringLiteral("安全增强型打印机TR450一代V1.0.0"));

    m_jobListAction = new QAction(QStringLiteral("作业列表"), this);
    m_printerStatusAction = new QAction(QStringLiteral("打印机状态监控"), this);
    m_trayMenu = new QMenu(this);
    m_trayMenu->addAction(m_jobListAction);
    m_trayMenu->addAction(m_printerStatusAction);
    m_trayIcon->setContextMenu(m_trayMenu);

    wire(m_jobListAction, SIGNAL(triggered()), this, SLOT(onGetJobStatus()));
    wire(m_printerStatusAction, SIGNAL(triggered()), this, SLOT(onGetPrinterInfo()));
    wire(&mPrinterTask, SIGNAL(sigTaskcancel(QString)), this, SLOT(onCancelJob(QString)));

    m_readBuffer = QByteArray(kReadBufferSize, '\0');
}

void PrintConfig::stopThread(QThread *thread)
{
    if (!thread)
        return;
    thread->quit();
    thread->wait();
}

PrintConfig::~PrintConfig()
{
    // Both worker threads end their event loops before either is deleted.
    stopThread(m_listenStatus);
    stopThread(m_listenFile);

    delete m_listenStatus;
    m_listenStatus = nullptr;
    m_printerStatusTimer->stop();
    delete m_printerStatusTimer;
    m_printerStatusTimer = nullptr;
    delete m_listenFile;
    m_listenFile = nullptr;
}

bool PrintConfig::ensureDirectory(const QString &path)
{
    return ensureFolder(path);
}

void PrintConfig::onGetJobStatus()
{
    mPrinterTask.show();
    mPrinterTask.updateTaskTable();
}

void PrintConfig::onGetPrinterInfo()
{
    qDebug() << "Hello";
    mStatus.show();
    const QStringList printers = mStatus.refreshPrinterList();
    m_printerStatusTimer->start();
    emit sendAddPrinterAsk(QString(), printers, true);
}

void PrintConfig::onPrinterStatusTimeOut()
{
    if (!mStatus.isPrinterListChanged())
        return;
    const QStringList printers = mStatus.refreshPrinterList();
    emit sendAddPrinterAsk(QString(), printers, false);
}

void PrintConfig::onFlushPrinterStatus(QString ip)
{
    const QStringList printers = mStatus.refreshPrinterList();
    emit sendAddPrinterAsk(ip, printers, true);
}

void PrintConfig::onPrinterCallback(int status, QString ip, QStringList errcode)
{
    Q_UNUSED(status);
    qDebug() << "*****Printer Status:" << errcode;
    emit sendPrinterStatus(ip, errcode);
}
