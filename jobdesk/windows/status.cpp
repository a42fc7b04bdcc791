#include "status.h"
#include "ui_status.h"

#include "joblogdb.h"
#include "paths.h"

#include <QCloseEvent>
#include <QCursor>
#include <QDebug>
#include <QFileDialog>
#include <QMenu>
#include <QPrinterInfo>
#include <QRegExp>
#include <QStandardPaths>
#include <QStringListModel>
#include <QTextCursor>

namespace {

const char kTimeFormat[] = "yyyy.MM.dd hh:mm:ss.zzz ddd";
const char kNoCondition[] = "打印机状态正常。";

// The printer line's queues are named by the printer's IPv4 address; a last
// number of 255 (a broadcast address) is not a printer.
bool isPrinterLineQueue(const QPrinterInfo &printer)
{
    static const QRegExp address(QStringLiteral(
        "((2[0-4]\\d|25[0-5]|[01]?\\d\\d?)\\.){3}(2[0-4]\\d|25[0-4]|[01]?\\d\\d?)"));
    return address.exactMatch(printer.printerName())
           && printer.makeAndModel().contains(QLatin1String("JYX-30"), Qt::CaseSensitive);
}

} // namespace

Status::Status(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Status)
{
    ui->setupUi(this);
    setToolTip(QString::fromUtf8("打印机状态监控"));
    setFixedSize(size());
    m_currentRow = 0;
    m_model = new QStringListModel(this);
    ui->listView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->listView, SIGNAL(clicked(QModelIndex)), this, SLOT(slotprintStatus(QModelIndex)));
    connect(ui->listView, SIGNAL(customContextMenuRequested(const QPoint &)), this,
            SLOT(showContextMenu(const QPoint &)));
}

Status::~Status()
{
    delete ui;
}

QString Status::selectedName() const
{
    const int row = ui->listView->currentIndex().row();
    const QModelIndex index = m_model->index(row, 0);
    return index.isValid() ? index.data(Qt::DisplayRole).toString() : QString();
}

bool Status::namesDiffer(const QStringList &cupsNames, const QStringList &listed)
{
    for (const QString &name : cupsNames)
        if (!listed.contains(name))
            return true;
    return cupsNames.size() != listed.size();
}

bool Status::isPrinterListChanged()
{
    QStringList matching;
    const QList<QPrinterInfo> printers = QPrinterInfo::availablePrinters();
    for (const QPrinterInfo &printer : printers)
        if (isPrinterLineQueue(printer))
            matching.append(printer.printerName());
    return namesDiffer(matching, m_printerNames);
}

QStringList Status::refreshPrinterList()
{
    m_printerNames.clear();
    const QList<QPrinterInfo> printers = QPrinterInfo::availablePrinters();
    for (const QPrinterInfo &printer : printers) {
        const QString name = printer.printerName();
        if (isPrinterLineQueue(printer)) {
            m_printerNames.append(name);
            if (!findLog(name))
                m_printerLogs.append(PrinterLog{name, {}});
        }
        qDebug() << name;
    }
    m_model->setStringList(m_printerNames);
    ui->listView->setModel(m_model);
    ui->listView->setCurrentIndex(m_model->index(m_currentRow, 0));
    return m_printerNames;
}

PrinterLog *Status::findLog(const QString &name)
{
    for (PrinterLog &log : m_printerLogs)
        if (log.printerName == name)
            return &log;
    return nullptr;
}

void Status::onWritePrinterStatus(QString ip, QStringList status)
{
    ui->label->setText(QString());
    const QDateTime now = QDateTime::currentDateTime();

    QStringList lines;
    if (status.isEmpty()) {
        lines << QString::fromUtf8(kNoCondition);
    } else {
        for (const QString &code : status) {
            const int n = code.toInt(nullptr, 10);
            lines << statusCodeToText(n) + QLatin1Char('(') + QString::number(n) + QLatin1Char(')');
        }
    }

    if (PrinterLog *log = findLog(ip)) {
        log->entries.append(StatusEntry{now, lines});
        // A job desk left running for months must not grow without end.
        while (log->entries.size() > kMaxHistoryEntries)
            log->entries.removeFirst();
    }

    if (selectedName() != ip)
        return;
    ui->textEdit->append(QString::fromUtf8("时间：") + now.toString(QLatin1String(kTimeFormat))
                         + QString::fromUtf8("    打印机：") + ip);
    for (const QString &line : lines)
        ui->textEdit->append(QString::fromUtf8("状态：") + line);
    ui->textEdit->append(QString());
}

void Status::slotprintStatus(QModelIndex)
{
    ui->textEdit->clear();
    m_currentRow = ui->listView->currentIndex().row();
    const QString name = selectedName();

    // One paragraph per line, built in one go: a long history redraws at once.
    QStringList paragraphs;
    if (const PrinterLog *log = findLog(name)) {
        for (const StatusEntry &entry : log->entries) {
            paragraphs << QString::fromUtf8("时间：") + entry.time.toString(QLatin1String(kTimeFormat))
                              + QString::fromUtf8("     打印机：") + log->printerName;
            for (const QString &line : entry.lines)
                paragraphs << QString::fromUtf8("状态：") + line;
            paragraphs << QString();
        }
    }
    if (!paragraphs.isEmpty())
        ui->textEdit->setPlainText(paragraphs.join(QLatin1Char('\n')));

    QTextCursor cursor = ui->textEdit->textCursor();
    cursor.movePosition(QTextCursor::End);
    ui->textEdit->setTextCursor(cursor);
}

void Status::on_pushButton_clicked()
{
    ui->label->setText(QString::fromUtf8("正在获取..."));
    m_currentRow = ui->listView->currentIndex().row();
    emit flushPrinterStatusNow(selectedName());
}

void Status::on_pushButton_2_clicked()
{
    ui->textEdit->clear();
    for (PrinterLog &log : m_printerLogs)
        log.entries.clear();
}

void Status::showContextMenu(const QPoint &)
{
    // Built for each request; the export works on the selected printer, not
    // on the row under the pointer.
    QMenu menu(ui->listView);
    QAction *exportAction = menu.addAction(QString::fromUtf8("导出打印日志"));
    connect(exportAction, SIGNAL(triggered(bool)), this, SLOT(exportPrintLogMenu()));
    menu.exec(QCursor::pos());
}

void Status::exportPrintLogMenu()
{
    const QString name = selectedName();
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("请选择保存文件位置"), QStandardPaths::writableLocation(QStandardPaths::HomeLocation),
        QFileDialog::ShowDirsOnly);
    if (folder.isNull())
        return;
    const QString outPath = folder + QLatin1Char('/') + name + QLatin1Char('_')
                            + QString::number(QDateTime::currentDateTime().toSecsSinceEpoch()) + QStringLiteral(".txt");
    JobLogDb db;
    db.exportToText(paths::jobLogFile(name), outPath);
}

void Status::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
