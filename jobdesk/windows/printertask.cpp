#include "printertask.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDesktopWidget>
#include <QGridLayout>
#include <QHeaderView>
#include <QMenu>
#include <QStandardItemModel>
#include <QTableView>
#include <QTime>
#include <QTimer>

// The job list form, laid out the way the designer form would be.
class Ui_PrinterTask
{
public:
    QGridLayout *gridLayout = nullptr;
    QTableView *printertasktableView = nullptr;

    void setupUi(QWidget *PrinterTask)
    {
        if (PrinterTask->objectName().isEmpty())
            PrinterTask->setObjectName(QStringLiteral("PrinterTask"));
        PrinterTask->resize(640, 270);
        gridLayout = new QGridLayout(PrinterTask);
        gridLayout->setObjectName(QStringLiteral("gridLayout"));
        printertasktableView = new QTableView(PrinterTask);
        printertasktableView->setObjectName(QStringLiteral("printertasktableView"));
        printertasktableView->horizontalHeader()->setMinimumSectionSize(100);
        printertasktableView->horizontalHeader()->setStretchLastSection(true);
        gridLayout->addWidget(printertasktableView, 0, 0, 1, 1);
        retranslateUi(PrinterTask);
        QMetaObject::connectSlotsByName(PrinterTask);
    }

    void retranslateUi(QWidget *PrinterTask)
    {
        PrinterTask->setWindowTitle(QCoreApplication::translate("PrinterTask", "作业列表"));
    }
};

namespace {

const int kExpirySeconds = 6;
const int kTickMs = 1000;
const int kSecondsPerDay = 24 * 60 * 60;

} // namespace

PrinterTask::PrinterTask(QWidget *parent) : QWidget(parent), ui(new Ui_PrinterTask)
{
    ui->setupUi(this);
    setToolTip(QStringLiteral("作业列表"));
    setFixedSize(size());

    m_taskModel = new QStandardItemModel(0, 3);
    m_taskModel->setHorizontalHeaderItem(0, new QStandardItem(QStringLiteral("作业名称")));
    m_taskModel->setHorizontalHeaderItem(1, new QStandardItem(QStringLiteral("状态")));
    m_taskModel->setHorizontalHeaderItem(2, new QStandardItem(QStringLiteral("时间")));

    m_cancelMenu = new QMenu(this);
    m_cancelAction = new QAction(tr("取消"), this);
    m_cancelMenu->addAction(m_cancelAction);

    ui->printertasktableView->setModel(m_taskModel);
    for (int i = 0; i < 3; ++i)
        ui->printertasktableView->horizontalHeader()->setSectionResizeMode(i, QHeaderView::Stretch);

    connect(m_cancelAction, SIGNAL(triggered()), this, SLOT(slotTaskcancel()));

    // A right-click on a job's row opens its cancel menu.
    ui->printertasktableView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->printertasktableView, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QModelIndex index = ui->printertasktableView->indexAt(pos);
        if (index.isValid() && index.row() < m_workFileList.size())
            slotPrinterTaskCancel(index);
    });

    m_expiryTimer = new QTimer(this);
    m_expiryTimer->setInterval(kTickMs);
    m_expiryTimer->start();
    connect(m_expiryTimer, SIGNAL(timeout()), this, SLOT(onTimeOut()));

    const QRect desk = QApplication::desktop()->geometry();
    move((desk.width() - width()) / 2, (desk.height() - height()) / 2);
}

PrinterTask::~PrinterTask()
{
    delete ui;
    delete m_taskModel;
}

void PrinterTask::updateTaskTable()
{
    const int n = m_workFileList.size();
    m_taskModel->setRowCount(n);
    if (n == 0)
        return;
    const QLatin1Char sep('|');
    for (int i = 0; i < n; ++i) {
        const QString &row = m_workFileList.at(i);
        m_taskModel->setItem(i, 0, new QStandardItem(row.section(sep, 1, 1)));
        m_taskModel->setItem(i, 1, new QStandardItem(row.section(sep, 2, 2)));
        m_taskModel->setItem(i, 2, new QStandardItem(row.section(sep, 3, 3)));
    }
    for (int i = 0; i < 3; ++i)
        ui->printertasktableView->horizontalHeader()->setSectionResizeMode(i, QHeaderView::Stretch);
}

void PrinterTask::slotPrinterTaskCancel(QModelIndex index)
{
    const int row = index.row();
    if (row < 0 || row >= m_workFileList.size())
        return;
    m_cancelTaskId = m_workFileList.at(row).section(QLatin1Char('|'), 0, 0);
    ui->printertasktableView->selectRow(row);
    m_workFileList[row] += QLatin1Char('|') + QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    m_cancelMenu->exec(QCursor::pos());
    // The menu's event loop may have let the expiry timer drop rows meanwhile.
    qDebug() << "111" << (row < m_workFileList.size() ? m_workFileList.at(row) : QString());
}

void PrinterTask::slotTaskcancel()
{
    emit sigTaskcancel(m_cancelTaskId);
}

bool PrinterTask::isMarkExpired(const QString &row, const QTime &now)
{
    const QStringList fields = row.split(QLatin1Char('|'), Qt::KeepEmptyParts);
    if (fields.size() < 5)
        return false;
    const QTime mark = QTime::fromString(fields.at(4), QStringLiteral("hh:mm:ss"));
    if (!mark.isValid())
        return false;
    int elapsed = mark.secsTo(now);
    if (elapsed < 0)
        elapsed += kSecondsPerDay;
    return elapsed >= kExpirySeconds;
}

void PrinterTask::onTimeOut()
{
    const QTime now = QTime::currentTime();
    for (int i = 0; i < m_workFileList.size();) {
        if (isMarkExpired(m_workFileList.at(i), now))
            m_workFileList.removeAt(i);
        else
            ++i;
    }
    updateTaskTable();
}

void PrinterTask::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
