// The job list window: table from the row records, expiry of marked rows,
// the cancel menu on a right-click, closing only hides.
#include "printertask.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTableView>
#include <QtTest>

class TestPrinterTask : public QObject
{
    Q_OBJECT
private slots:
    void tableShowsNameStateAndTime();
    void markExpiry_data();
    void markExpiry();
    void tickDropsExpiredRowsTogether();
    void rightClickOpensCancelMenu();
    void closeHidesAndTimerRuns();

private:
    static QString mark(int secondsAgo)
    {
        return QTime::currentTime().addSecs(-secondsAgo).toString(QStringLiteral("hh:mm:ss"));
    }
};

void TestPrinterTask::tableShowsNameStateAndTime()
{
    PrinterTask task;
    auto *view = task.findChild<QTableView *>(QStringLiteral("printertasktableView"));
    QVERIFY(view);
    QAbstractItemModel *model = view->model();
    QCOMPARE(model->columnCount(), 3);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("作业名称"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("状态"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("时间"));
    QCOMPARE(task.size(), QSize(640, 270));
    QCOMPARE(task.windowTitle(), QStringLiteral("作业列表"));

    task.updateTaskTable();
    QCOMPARE(model->rowCount(), 0);
    task.m_workFileList << QStringLiteral("job7|报告 等待中.pdf|打印中|2026-12-10 10:00:01")
                        << QStringLiteral("job8|b.pdf|打印完成|2026-12-10 10:00:02|10:00:09");
    task.updateTaskTable();
    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("报告 等待中.pdf"));
    QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("打印中"));
    QCOMPARE(model->index(0, 2).data().toString(), QStringLiteral("2026-12-10 10:00:01"));
    QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("2026-12-10 10:00:02"));
    task.m_workFileList.clear();
    task.updateTaskTable();
    QCOMPARE(model->rowCount(), 0);
}

void TestPrinterTask::markExpiry_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("now");
    QTest::addColumn<bool>("expired");
    const QString base = QStringLiteral("j|a.pdf|打印完成|2026-12-10 10:00:00");
    QTest::newRow("no mark") << base << "23:00:00" << false;
    QTest::newRow("5 s") << base + "|10:00:05" << "10:00:10" << false;
    QTest::newRow("6 s") << base + "|10:00:05" << "10:00:11" << true;
    QTest::newRow("long ago") << base + "|08:00:00" << "10:00:11" << true;
    QTest::newRow("across midnight, 5 s") << base + "|23:59:58" << "00:00:03" << false;
    QTest::newRow("across midnight, 6 s") << base + "|23:59:58" << "00:00:04" << true;
    QTest::newRow("marked twice, first counts") << base + "|10:00:00|10:00:05" << "10:00:06" << true;
    QTest::newRow("not a time") << base + "|soon" << "10:00:06" << false;
    QTest::newRow("empty mark") << base + "|" << "10:00:06" << false;
}

void TestPrinterTask::markExpiry()
{
    QFETCH(QString, row);
    QFETCH(QString, now);
    QFETCH(bool, expired);
    QCOMPARE(PrinterTask::isMarkExpired(row, QTime::fromString(now, QStringLiteral("hh:mm:ss"))), expired);
}

void TestPrinterTask::tickDropsExpiredRowsTogether()
{
    PrinterTask task;
    task.m_workFileList << "a|a|打印完成|t|" + mark(10) << "b|b|打印完成|t|" + mark(10) << "c|c|打印完成|t|" + mark(7)
                        << "d|d|打印中|t" << "e|e|打印完成|t|" + mark(0);
    task.onTimeOut();
    QCOMPARE(task.m_workFileList.size(), 2);
    QVERIFY(task.m_workFileList.at(0).startsWith("d|"));
    QVERIFY(task.m_workFileList.at(1).startsWith("e|"));
    // The window's own timer takes the last marked row 6 to 7 s later.
    QTRY_COMPARE_WITH_TIMEOUT(task.m_workFileList.size(), 1, 15000);
    auto *view = task.findChild<QTableView *>(QStringLiteral("printertasktableView"));
    QCOMPARE(view->model()->rowCount(), 1);
}

void TestPrinterTask::rightClickOpensCancelMenu()
{
    PrinterTask task;
    task.m_workFileList << QStringLiteral("first|a.pdf|打印中|2026-12-10 10:00:00")
                        << QStringLiteral("second|b.pdf|等待中|2026-12-10 10:00:01");
    task.show();
    task.updateTaskTable();
    QVERIFY(QTest::qWaitForWindowExposed(&task));
    auto *view = task.findChild<QTableView *>(QStringLiteral("printertasktableView"));
    const QRect cell = view->visualRect(view->model()->index(1, 0));
    QSignalSpy cancel(&task, &PrinterTask::sigTaskcancel);

    QStringList entries;
    QTimer chooser;
    chooser.setInterval(50);
    connect(&chooser, &QTimer::timeout, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        chooser.stop();
        for (QAction *a : menu->actions())
            entries << a->text();
        menu->actions().first()->trigger();
        menu->close();
    });
    chooser.start();
    QContextMenuEvent click(QContextMenuEvent::Mouse, cell.center(), view->viewport()->mapToGlobal(cell.center()));
    QApplication::sendEvent(view->viewport(), &click);

    QCOMPARE(entries, QStringList({QStringLiteral("取消")}));
    QCOMPARE(cancel.count(), 1);
    QCOMPARE(cancel.first().first().toString(), QStringLiteral("second"));
    QCOMPARE(view->selectionModel()->selectedRows().value(0).row(), 1);
    // Opening the menu marks the row whatever is chosen; the other is untouched.
    QCOMPARE(task.m_workFileList.at(1).split('|').size(), 5);
    QCOMPARE(task.m_workFileList.at(0).split('|').size(), 4);

    // A right-click below the last row opens nothing (a menu would be closed).
    QTimer closer;
    closer.setInterval(50);
    connect(&closer, &QTimer::timeout, this, [&] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget()))
            menu->close();
    });
    closer.start();
    const QPoint empty(5, view->viewport()->height() - 2);
    QContextMenuEvent miss(QContextMenuEvent::Mouse, empty, view->viewport()->mapToGlobal(empty));
    QApplication::sendEvent(view->viewport(), &miss);
    QCOMPARE(cancel.count(), 1);
    QCOMPARE(task.m_workFileList.at(0).split('|').size(), 4);
}

void TestPrinterTask::closeHidesAndTimerRuns()
{
    PrinterTask task;
    task.show();
    QVERIFY(QTest::qWaitForWindowExposed(&task));
    task.close();
    QVERIFY(task.isHidden());
    task.m_workFileList << "z|z|打印完成|t|" + mark(9);
    QTRY_VERIFY_WITH_TIMEOUT(task.m_workFileList.isEmpty(), 10000);
}

QTEST_MAIN(TestPrinterTask)
#include "tst_printertask.moc"
