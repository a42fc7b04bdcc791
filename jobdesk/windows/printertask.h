// Job list window.
#pragma once

#include <QModelIndex>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QWidget>

class QAction;
class QMenu;
class QTimer;
class QStandardItemModel;
class QCloseEvent;
class Ui_PrinterTask;

class PrinterTask : public QWidget
{
    Q_OBJECT
public:
    explicit PrinterTask(QWidget *parent = nullptr);
    ~PrinterTask() override;

    void updateTaskTable();

    // True when the row carries a mark (fifth field) at least 6 s before `now`,
    // counted on the clock of the day so a mark from before midnight expires too.
    static bool isMarkExpired(const QString &row, const QTime &now);

signals:
    void sigTaskcancel(QString taskID);

public slots:
    void slotPrinterTaskCancel(QModelIndex index);
    void slotTaskcancel();
    void onTimeOut();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QAction *m_cancelAction = nullptr;
    QMenu *m_cancelMenu = nullptr;

public:
    QStringList m_workFileList;

private:
    Ui_PrinterTask *ui = nullptr;
    QStandardItemModel *m_taskModel = nullptr;
    QString m_cancelTaskId;
    QTimer *m_expiryTimer = nullptr;
};
