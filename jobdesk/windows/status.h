// Printer status monitor window: the printer line's CUPS queues and the
// history of their status reports.
#pragma once

#include <QDateTime>
#include <QList>
#include <QModelIndex>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QWidget>

class QStringListModel;
class QCloseEvent;
class Ui_Status;

struct StatusEntry
{
    QDateTime time;
    QStringList lines;
};

struct PrinterLog
{
    QString printerName;
    QList<StatusEntry> entries;
};

class Status : public QWidget
{
    Q_OBJECT
public:
    explicit Status(QWidget *parent = nullptr);
    ~Status() override;

    bool isPrinterListChanged();
    QStringList refreshPrinterList();
    QString statusCodeToText(int code);

    // Whether the matching CUPS names (in CUPS order) differ as a set from the
    // listed ones; a mere change of order is no change.
    static bool namesDiffer(const QStringList &cupsNames, const QStringList &listed);

signals:
    void flushPrinterStatusNow(QString ip);

public slots:
    void onWritePrinterStatus(QString ip, QStringList status);
    void slotprintStatus(QModelIndex index);
    void showContextMenu(const QPoint &pos);
    void exportPrintLogMenu();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    Ui_Status *ui = nullptr;
    QStringListModel *m_model = nullptr;
    QList<PrinterLog> m_printerLogs;
    QStringList m_printerNames;
    int m_currentRow = 0;

    // Reports kept per printer; older ones are dropped first.
    static constexpr int kMaxHistoryEntries = 10000;

    // Name of the printer at the list view's current row, empty when none.
    QString selectedName() const;
    PrinterLog *findLog(const QString &name);
};
