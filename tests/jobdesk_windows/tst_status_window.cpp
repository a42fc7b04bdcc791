// The printer status window against a real CUPS scheduler on loopback.
#include "cupsfixture.h"
#include "status.h"
#include "uitest.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

namespace {

const char kNick[] = "Porvik JYX-30 Laser";
const char kNoCondition[] = "打印机状态正常。";

QString u(const char *s) { return QString::fromUtf8(s); }

} // namespace

class TestStatus : public QObject
{
    Q_OBJECT

private:
    CupsFixture m_cups;
    QTemporaryDir m_root;

    QListView *listView(Status &w) { return w.findChild<QListView *>(QStringLiteral("listView")); }
    QTextEdit *history(Status &w) { return w.findChild<QTextEdit *>(QStringLiteral("textEdit")); }
    QStringList historyLines(Status &w) { return history(w)->toPlainText().split(QLatin1Char('\n')); }

    // Clicks the row of the printer as a user would; that is what redraws the history.
    void clickPrinter(Status &w, const QString &name)
    {
        QListView *view = listView(w);
        const QModelIndexList hits =
            view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly);
        QVERIFY2(!hits.isEmpty(), qPrintable(name));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(hits.first()).center());
    }

    // Creates the printer's job log as the job desk writes it, with two rows.
    void makeJobLog(const QString &printer)
    {
        const QString folder = m_root.path() + QStringLiteral("/var/porvik/data/") + printer;
        QVERIFY(QDir().mkpath(folder));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
            db.setDatabaseName(folder + QStringLiteral("/porvikdb.dll"));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY2(q.exec(QStringLiteral(
                         "create table R_JobInfo(GUID VARCHAR(64) PRIMARY KEY, JobType INTEGER NOT NULL,"
                         "JobName VARCHAR(64) NOT NULL,UserName VARCHAR(64),CNName VARCHAR(64),DepName VARCHAR(64),"
                         "Barcode VARCHAR(64),BarcodeText VARCHAR(64),DirectionName VARCHAR(64),"
                         "SecLevelName VARCHAR(64),UseName VARCHAR(64),CreateTime VARCHAR(64),"
                         "JobDoneTime VARCHAR(64),Comment VARCHAR(64),PageCount INTEGER,Copies INTEGER,"
                         "ActualTotalPages INTEGER,Color INTEGER,MediaType VARCHAR(64),Duplex INTEGER,"
                         "DeviceName VARCHAR(64),DeviceIP VARCHAR(64),DeviceID VARCHAR(64),ClientIP VARCHAR(64),"
                         "ClientName VARCHAR(64),Result VARCHAR(64),JobInfo VARCHAR(64))")),
                     qPrintable(q.lastError().text()));
            const QStringList rows[] = {
                {"0b5c7f3e-1111-4c1e-9d7a-000000000001", "1", u("季度报告.pdf"), "zhang", "zhang", "", "", "",
                 "", "", "", "20261201 09:00:00", "20261201 09:00:30", "", "2", "3", "6", "0", "9", "0",
                 printer, printer, printer, "10.0.0.2", "zhang", "1", u("打印完成")},
                {"0b5c7f3e-2222-4c1e-9d7a-000000000002", "1", "a,b.txt", "li", "li", "", "", "", "", "", "",
                 "20261201 10:00:00", "", "", "1", "1", "1", "0", "9", "0", printer, printer, printer,
                 "10.0.0.2", "li", "-1", u("待打印")},
            };
            for (const QStringList &row : rows) {
                q.prepare(QStringLiteral("INSERT INTO R_JobInfo VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
                for (const QString &v : row)
                    q.addBindValue(v);
                QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        qputenv("SPOOLBAY_TEST_ROOT", m_root.path().toLocal8Bit());
        QVERIFY2(m_cups.start(), qPrintable(m_cups.error()));
        const struct { const char *name; const char *nick; } queues[] = {
            {"192.168.1.20", kNick},
            {"192.168.255.1", kNick},
            {"192.168.001.020", kNick},          // leading zeros still an address
            {"192.168.1.255", kNick},            // broadcast: not a printer
            {"256.1.1.1", kNick},
            {"192.168.1.21", "Other Laser 300"},
            {"192.168.1.22", "Porvik jyx-30 Laser"}, // the model test is case-sensitive
            {"office-laser", kNick},
        };
        for (const auto &q : queues)
            QVERIFY2(m_cups.addQueue(QLatin1String(q.name), QLatin1String(q.nick)), qPrintable(m_cups.error()));
    }

    void listsOnlyThePrinterLine()
    {
        Status w;
        QVERIFY(!listView(w)->model()); // no model before the first refresh
        QCOMPARE(w.minimumSize(), QSize(770, 459)); // fixed: the user cannot resize it
        QCOMPARE(w.maximumSize(), QSize(770, 459));
        QCOMPARE(w.toolTip(), u("打印机状态监控"));
        QCOMPARE(w.windowTitle(), u("打印机状态监控"));

        const QStringList expected = {"192.168.001.020", "192.168.1.20", "192.168.255.1"};
        QCOMPARE(w.refreshPrinterList(), expected);
        QCOMPARE(w.refreshPrinterList(), expected);
        QVERIFY(!w.isPrinterListChanged());
        // The first row is current after a refresh, but nothing is drawn yet.
        QCOMPARE(listView(w)->currentIndex().row(), 0);
        QVERIFY(history(w)->toPlainText().isEmpty());
    }

    void followsQueuesAddedAndRemoved()
    {
        Status w;
        w.refreshPrinterList();
        w.onWritePrinterStatus(QStringLiteral("192.168.255.1"), {QStringLiteral("200051")});

        QVERIFY(m_cups.addQueue(QStringLiteral("10.0.0.7"), QLatin1String(kNick)));
        QVERIFY(w.isPrinterListChanged());
        QVERIFY(w.refreshPrinterList().contains(QStringLiteral("10.0.0.7")));
        QVERIFY(!w.isPrinterListChanged());

        QVERIFY(m_cups.removeQueue(QStringLiteral("192.168.255.1")));
        QVERIFY(w.isPrinterListChanged());
        QVERIFY(!w.refreshPrinterList().contains(QStringLiteral("192.168.255.1")));

        // A printer that comes back has kept its history.
        QVERIFY(m_cups.addQueue(QStringLiteral("192.168.255.1"), QLatin1String(kNick)));
        QVERIFY(w.isPrinterListChanged());
        w.refreshPrinterList();
        w.show();
        clickPrinter(w, QStringLiteral("192.168.255.1"));
        QVERIFY(historyLines(w).contains(u("状态：前盖开启，请关上前盖(200051)")));

        QVERIFY(m_cups.removeQueue(QStringLiteral("10.0.0.7")));
        QVERIFY(w.isPrinterListChanged());
        w.refreshPrinterList();
        QVERIFY(!w.isPrinterListChanged());
    }

    void orderAloneIsNoChange_data()
    {
        QTest::addColumn<QStringList>("cups");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<bool>("changed");
        QTest::newRow("same") << QStringList{"a", "b"} << QStringList{"a", "b"} << false;
        QTest::newRow("reordered") << QStringList{"b", "a"} << QStringList{"a", "b"} << false;
        QTest::newRow("appeared") << QStringList{"a", "b", "c"} << QStringList{"a", "b"} << true;
        QTest::newRow("vanished") << QStringList{"a"} << QStringList{"a", "b"} << true;
        QTest::newRow("replaced") << QStringList{"a", "c"} << QStringList{"a", "b"} << true;
        QTest::newRow("none") << QStringList{} << QStringList{} << false;
    }
    void orderAloneIsNoChange()
    {
        QFETCH(QStringList, cups);
        QFETCH(QStringList, listed);
        QFETCH(bool, changed);
        QCOMPARE(Status::namesDiffer(cups, listed), changed);
    }

    void codeTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("first") << 200000 << u("多页进纸错误");
        QTest::newRow("between rows") << 200002 << QString();
        QTest::newRow("range start") << 200325 << u("卡纸，请打开前盖并拉出硒鼓来清除卡纸");
        QTest::newRow("range end") << 200329 << u("卡纸，请打开前盖并拉出硒鼓来清除卡纸");
        QTest::newRow("next range") << 200330 << u("卡纸，请打开后盖来清除卡纸");
        QTest::newRow("after ranges") << 200336 << QString();
        QTest::newRow("fuser gap") << 201606 << QString();
        QTest::newRow("blanks kept") << 200003 << u("请确认纸盒 1 并按 OK 键");
        QTest::newRow("network") << 500002 << u("DHCP 没有回应，请检查网络设定");
        QTest::newRow("unreachable") << 12121212 << u("连接打印机失败，请确认打印机是否连通。");
        QTest::newRow("zero") << 0 << QString();
        QTest::newRow("negative") << -200000 << QString();
    }
    void codeTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        Status w;
        QCOMPARE(w.statusCodeToText(code), text);
    }

    void historyLines_data()
    {
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("no condition") << QStringList() << QStringList{u(kNoCondition)};
        QTest::newRow("code and range") << QStringList{"200001", "200326"}
                                        << QStringList{u("缺纸，请装入纸张到纸盒(200001)"),
                                                       u("卡纸，请打开前盖并拉出硒鼓来清除卡纸(200326)")};
        QTest::newRow("between rows") << QStringList{"200002"} << QStringList{"(200002)"};
        QTest::newRow("not a number") << QStringList{"jam"} << QStringList{"(0)"};
        QTest::newRow("unreachable") << QStringList{"12121212"}
                                     << QStringList{u("连接打印机失败，请确认打印机是否连通。(12121212)")};
    }
    void historyLines()
    {
        QFETCH(QStringList, codes);
        QFETCH(QStringList, lines);
        const QString ip = QStringLiteral("192.168.1.20");
        Status w;
        w.show();
        w.refreshPrinterList();
        clickPrinter(w, ip);
        QVERIFY(history(w)->toPlainText().isEmpty());

        const QString weekday = QLocale::system().toString(QDate::currentDate(), QStringLiteral("ddd"));
        const QString stamp = QStringLiteral("\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ")
                              + QRegularExpression::escape(weekday);

        w.onWritePrinterStatus(ip, codes);
        QStringList live = historyLines(w);
        QCOMPARE(live.size(), lines.size() + 2);
        QVERIFY2(QRegularExpression(u("^时间：") + stamp + u("    打印机：192\\.168\\.1\\.20$")).match(live[0]).hasMatch(),
                 qPrintable(live[0]));
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(live[i + 1], u("状态：") + lines[i]);
        QCOMPARE(live.last(), QString());

        // Redrawn from the stored entry: five blanks before the printer.
        clickPrinter(w, ip);
        const QStringList redrawn = historyLines(w);
        QCOMPARE(redrawn.size(), live.size());
        QVERIFY2(QRegularExpression(u("^时间：") + stamp + u("     打印机：192\\.168\\.1\\.20$")).match(redrawn[0]).hasMatch(),
                 qPrintable(redrawn[0]));
        QCOMPARE(redrawn.mid(1), live.mid(1));
        QCOMPARE(history(w)->textCursor().position(), history(w)->document()->characterCount() - 1);
    }

    void reportForAnotherPrinter()
    {
        Status w;
        w.show();
        w.refreshPrinterList();
        clickPrinter(w, QStringLiteral("192.168.1.20"));
        w.onWritePrinterStatus(QStringLiteral("192.168.255.1"), {QStringLiteral("200054")});
        w.onWritePrinterStatus(QStringLiteral("172.16.0.9"), {QStringLiteral("200054")}); // not listed: dropped
        QVERIFY(history(w)->toPlainText().isEmpty());

        // Moving the current row without a click redraws nothing, but live lines follow it.
        QListView *view = listView(w);
        const QModelIndex other =
            view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, QStringLiteral("192.168.255.1")).first();
        view->setCurrentIndex(other);
        QVERIFY(history(w)->toPlainText().isEmpty());
        w.onWritePrinterStatus(QStringLiteral("192.168.255.1"), {});
        QCOMPARE(historyLines(w).value(1), u("状态：") + u(kNoCondition));

        clickPrinter(w, QStringLiteral("192.168.255.1"));
        const QStringList lines = historyLines(w);
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[1], u("状态：后盖开启，请关上后盖(200054)"));
        QCOMPARE(lines[4], u("状态：") + u(kNoCondition));
    }

    void clearCloseAndReopen()
    {
        Status w;
        w.show();
        w.refreshPrinterList();
        clickPrinter(w, QStringLiteral("192.168.1.20"));
        w.onWritePrinterStatus(QStringLiteral("192.168.1.20"), {QStringLiteral("200090")});

        // Closing only hides; the history, the view and the selection survive.
        QVERIFY(!w.close());
        QVERIFY(!w.isVisible());
        w.show();
        w.refreshPrinterList();
        QCOMPARE(historyLines(w).value(1), u("状态：风扇错误(200090)"));
        QCOMPARE(listView(w)->currentIndex().data().toString(), QStringLiteral("192.168.1.20"));

        w.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
        QVERIFY(history(w)->toPlainText().isEmpty());
        QCOMPARE(listView(w)->model()->rowCount(), 3);
        clickPrinter(w, QStringLiteral("192.168.1.20"));
        QVERIFY(history(w)->toPlainText().isEmpty());
        w.onWritePrinterStatus(QStringLiteral("192.168.1.20"), {});
        clickPrinter(w, QStringLiteral("192.168.1.20"));
        QCOMPARE(historyLines(w).size(), 3);
    }

    void refreshNow()
    {
        Status w;
        w.show();
        w.refreshPrinterList();
        listView(w)->setCurrentIndex(QModelIndex());
        QSignalSpy spy(&w, SIGNAL(flushPrinterStatusNow(QString)));
        QLabel *label = w.findChild<QLabel *>(QStringLiteral("label"));
        w.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString());
        QCOMPARE(label->text(), u("正在获取..."));
        w.onWritePrinterStatus(QStringLiteral("192.168.255.1"), {});
        QVERIFY(label->text().isEmpty());

        clickPrinter(w, QStringLiteral("192.168.255.1"));
        w.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("192.168.255.1"));
    }

    void historyIsBounded()
    {
        Status w;
        w.show();
        w.refreshPrinterList();
        listView(w)->setCurrentIndex(QModelIndex());
        const QString ip = QStringLiteral("192.168.1.20");
        for (int i = 0; i <= 10000; ++i)
            w.onWritePrinterStatus(ip, {QString::number(i)});
        clickPrinter(w, ip);
        const QStringList lines = historyLines(w);
        QCOMPARE(lines.size(), 3 * 10000);
        QCOMPARE(lines[1], u("状态：(1)"));
        QCOMPARE(lines[lines.size() - 2], u("状态：(10000)"));
    }

    void exportsTheSelectedPrintersLog()
    {
        const QString ip = QStringLiteral("192.168.1.20");
        makeJobLog(ip);
        QTemporaryDir out;
        Status w;
        w.show();
        w.refreshPrinterList();
        clickPrinter(w, ip);

        // Right-click, choose the one entry, answer the folder dialog.
        whenReady([&]() {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return false;
            if (menu->actions().size() != 1 || menu->actions().first()->text() != u("导出打印日志"))
                qWarning() << "unexpected menu";
            // The dialog opens inside the key press, so its answer is set up first.
            whenReady([&]() {
                auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                if (!dialog)
                    return false;
                dialog->setDirectory(out.path());
                static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept is protected
                return true;
            });
            menu->setActiveAction(menu->actions().first());
            QTest::keyClick(menu, Qt::Key_Return);
            return true;
        });
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QListView *view = listView(w);
        emit view->customContextMenuRequested(view->viewport()->rect().bottomLeft());
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        const QStringList files = QDir(out.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^192\\.168\\.1\\.20_(\\d+)\\.txt$")).match(files.first());
        QVERIFY2(m.hasMatch(), qPrintable(files.first()));
        QVERIFY(m.captured(1).toLongLong() >= before && m.captured(1).toLongLong() <= after);

        QFile f(out.path() + QLatin1Char('/') + files.first());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(f.readAll());
        const QStringList expected = {
            "GUID,JobType,JobName,UserName,CNName,DepName,Barcode,BarcodeText,DirectionName,SecLevelName,"
            "UseName,CreateTime,JobDoneTime,Comment,PageCount,Copies,ActualTotalPages,Color,MediaType,Duplex,"
            "DeviceName,DeviceIP,DeviceID,ClientIP,ClientName,Result,JobInfo ",
            u("0b5c7f3e-1111-4c1e-9d7a-000000000001,1,季度报告.pdf,zhang,zhang,,,,,,,20261201 09:00:00,"
              "20261201 09:00:30,,2,3,6,0,9,0,192.168.1.20,192.168.1.20,192.168.1.20,10.0.0.2,zhang,1,打印完成"),
            u("0b5c7f3e-2222-4c1e-9d7a-000000000002,1,a,b.txt,li,li,,,,,,,20261201 10:00:00,,,1,1,1,0,9,0,"
              "192.168.1.20,192.168.1.20,192.168.1.20,10.0.0.2,li,-1,待打印"),
            QString(),
        };
        QCOMPARE(text.split(QStringLiteral("\r\n")), expected);
        QVERIFY(!text.remove(QStringLiteral("\r\n")).contains(QLatin1Char('\n')));
    }

    void cancelledExportWritesNothing()
    {
        QTemporaryDir out;
        Status w;
        w.show();
        w.refreshPrinterList();
        clickPrinter(w, QStringLiteral("192.168.1.20"));
        whenReady([&]() {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return false;
            dialog->setDirectory(out.path());
            dialog->reject();
            return true;
        });
        w.exportPrintLogMenu();
        QVERIFY(QDir(out.path()).entryList(QDir::Files).isEmpty());
    }
};

QTEST_MAIN(TestStatus)
#include "tst_status_window.moc"
