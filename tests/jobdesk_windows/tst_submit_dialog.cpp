// The job-submit dialog on the job controller: offered levels, the choice,
// print (watermark, then upload to the printer stand-in) and cancel.
#include "listenfile.h"
#include "messagelog.h"
#include "printconfig.h"
#include "simprinter.h"
#include "uitest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QThread>

namespace
{

MessageLog *g_log = nullptr; // the job desk's debug lines, for the tests that check them

int indexOfMessage(const QString &start)
{
    const QStringList messages = g_log->debug();
    for (int i = 0; i < messages.size(); ++i)
        if (messages[i].startsWith(start))
            return i;
    return -1;
}

const QByteArray kJobData = "\x1b%-12345X@PJL JOB\r\n@PJL EOJ\r\npage data\r\n@PJL EOJ\r\n\x1b%-12345X";

} // namespace

class TestSubmitDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QTemporaryDir m_work;
    QTemporaryDir m_store;
    QTemporaryDir m_cache; // the controller's copies of the jobs
    QString m_previousDir;
    SimPrinterProcess *m_printer = nullptr;
    PrintConfig *m_controller = nullptr;

    QList<QRadioButton *> levelButtons() const
    {
        const Ui_PrintConfigClass &ui = m_controller->ui;
        return {ui.radioButton, ui.radioButton_1, ui.radioButton_2, ui.radioButton_3, ui.radioButton_4};
    }
    QStringList shownLevels() const
    {
        QStringList shown;
        for (QRadioButton *b : levelButtons())
            if (!b->isHidden())
                shown << b->text();
        return shown;
    }
    QString toolLog() const { return m_work.path() + QStringLiteral("/runs.log"); }

    // A job as the intake leaves it just before the upload.
    void prepareJob(const QString &name, const QString &levels, const QString &host = QString())
    {
        PrintConfig &c = *m_controller;
        g_spoolBusy.storeRelease(1); // as when the listener handed the file over
        const QString spool = spoolDir() + name + QStringLiteral(".pcl");
        for (const QString &path : {spool, spool + ".xml", spool + ".bar"}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(path == spool ? kJobData : QByteArray("<x/>"));
        }
        c.SpoolFile = c.RemoveFile = spool;
        c.XmlFile = spool + ".xml";
        c.SpoolStem = spool.left(spool.size() - 4);
        c.JobName = name;
        c.JobLabel = spool;
        c.FileName = name + QStringLiteral(".pdf");
        c.Copies = 1;
        c.Pages = 2;
        c.JPrinterName = c.PrinterAddress = host.isEmpty() ? m_printer->host() : host;
        c.DomainAccount = QStringLiteral("zhang");
        c.BarcodeTemplate = QStringLiteral("%SEC% {0:000}-{1}");
        c.SecLevel = levels;
        c.m_pipelineJob = name;
        QVERIFY(c.isFileComplete());
        QVERIFY(c.copyJobFiles());
        c.writeJobTicket();
    }
    QString spoolDir() const { return m_root.path() + QStringLiteral("/var/porvik/SPOOL/"); }
    void emptySpool()
    {
        const QDir spool(spoolDir());
        for (const QString &name : spool.entryList(QDir::Files))
            QFile::remove(spool.filePath(name));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid() && m_store.isValid() && m_cache.isValid());
        qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(m_root.path()));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path()));
        qputenv("BARCODE_SIM_LOG", QFile::encodeName(toolLog()));
        QVERIFY(QFile::copy(QStringLiteral(BIN_DIR "/BarcodeUtil.jar"), m_work.path() + "/BarcodeUtil.jar"));
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));

        m_printer = new SimPrinterProcess(QString(), m_store.path());
        QVERIFY(m_printer->start());
        QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
        m_controller = new PrintConfig();
        g_log = new MessageLog;
    }
    void cleanupTestCase()
    {
        delete g_log;
        g_log = nullptr;
        delete m_controller;
        delete m_printer;
        g_spoolBusy.storeRelease(0);
        QDir::setCurrent(m_previousDir);
    }
    void init()
    {
        QFile::remove(toolLog());
        g_log->clear();
    }

    void form()
    {
        const Ui_PrintConfigClass &ui = m_controller->ui;
        QCOMPARE(m_controller->objectName(), QStringLiteral("PrintConfigClass"));
        QCOMPARE(m_controller->size(), QSize(440, 231));
        QCOMPARE(m_controller->windowTitle(), QString::fromUtf8("提交作业"));
        QCOMPARE(ui.label_3->text(), QString::fromUtf8("密  级："));
        QCOMPARE(ui.label_4->text(), QString::fromUtf8("备  注："));
        QCOMPARE(ui.frame->geometry(), QRect(70, 43, 351, 41));
        QCOMPARE(ui.pushButton_ok->geometry(), QRect(279, 190, 65, 32));
        QCOMPARE(ui.radioButton_3->sizePolicy().horizontalStretch(), 1);
        QCOMPARE(ui.radioButton_2->sizePolicy().horizontalStretch(), 0);
        QVERIFY(!(m_controller->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!m_controller->isVisible());
    }

    void offeredLevels_data()
    {
        QTest::addColumn<QString>("levels");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("three") << QString::fromUtf8("公开|内部|秘密")
                               << QStringList{QString::fromUtf8("公开"), QString::fromUtf8("内部"),
                                              QString::fromUtf8("秘密")};
        QTest::newRow("seven") << "1|2|3|4|5|6|7" << QStringList{"1", "2", "3", "4", "5"};
        QTest::newRow("none") << "" << QStringList();
        QTest::newRow("one") << "S" << QStringList{"S"};
    }
    void offeredLevels()
    {
        QFETCH(QString, levels);
        QFETCH(QStringList, shown);
        m_controller->JobLabel = QStringLiteral("/var/porvik/SPOOL/report.pcl");
        m_controller->SecLevel = levels;
        m_controller->showSubmitDialog();
        QVERIFY(m_controller->isVisible());
        QCOMPARE(m_controller->ui.label_JobName->text(), QStringLiteral("/var/porvik/SPOOL/report.pcl"));
        QCOMPARE(shownLevels(), shown);
        if (!shown.isEmpty())
            QVERIFY(m_controller->ui.radioButton->isChecked());
        QVERIFY(g_log->debug().contains("tSercret  : \"" + levels + "\""));
        m_controller->hide();
    }

    void printWithTheFirstLevel()
    {
        prepareJob(QStringLiteral("dlgfirst"), QStringLiteral("A|B|C"));
        m_controller->showSubmitDialog();
        QTest::keyClicks(m_controller->ui.textEdit, QStringLiteral("for the board"));
        QTest::mouseClick(m_controller->ui.pushButton_ok, Qt::LeftButton);

        QCOMPARE(m_controller->SecLevel, QStringLiteral("A"));
        QCOMPARE(m_controller->Remark, QStringLiteral("for the board"));
        QVERIFY(!m_controller->isVisible());
        // Barcodes first, then the upload.
        QFile log(toolLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll()),
                 QStringLiteral("./png/1-1.png\tA 1-1\n./png/1-2.png\tA 1-2\n"));
        const int lastTool = indexOfMessage(QStringLiteral("java  -jar   BarcodeUtil.jar ./png/1-2.png"));
        const int upload = indexOfMessage(QStringLiteral("sendXml:"));
        QVERIFY(lastTool >= 0 && upload > lastTool);
        QVERIFY(m_printer->waitForEvent(QStringLiteral("dlgfirst")));
        QTRY_COMPARE(m_printer->storeFile(QStringLiteral("dlgfirst/data.prn")), kJobData);
    }

    void printWithTheThirdLevel()
    {
        prepareJob(QStringLiteral("dlgthird"), QString::fromUtf8("公开|内部|秘密"));
        m_controller->showSubmitDialog();
        QTest::mouseClick(m_controller->ui.radioButton_2, Qt::LeftButton);
        QVERIFY(m_controller->ui.radioButton_2->isChecked());
        QVERIFY(!m_controller->ui.radioButton->isChecked());
        QCOMPARE(m_controller->SecLevel, QString::fromUtf8("秘密"));
        QTest::mouseClick(m_controller->ui.pushButton_ok, Qt::LeftButton);
        QCOMPARE(m_controller->SecLevel, QString::fromUtf8("秘密"));
        QFile log(toolLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll()).startsWith(QString::fromUtf8("./png/1-1.png\t秘密 1-1\n")));
        QTRY_COMPARE(m_printer->storeFile(QStringLiteral("dlgthird/data.prn")), kJobData);
    }

    void printWithoutLevels()
    {
        prepareJob(QStringLiteral("dlgnone"), QString());
        m_controller->showSubmitDialog();
        QTest::mouseClick(m_controller->ui.pushButton_ok, Qt::LeftButton);
        QCOMPARE(m_controller->SecLevel, QString());
        QTRY_COMPARE(m_printer->storeFile(QStringLiteral("dlgnone/data.prn")), kJobData);
    }

    void clicksWhileTheJobUploads_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("name");
        QTest::newRow("print again") << "pushButton_ok"
                                     << "dlgtwice";
        QTest::newRow("cancel") << "pushButton_cancel"
                                << "dlgdrop";
    }
    // A click on either button while the dialog's job uploads is not taken:
    // the printer gets the job once, its files stay, one row names the job.
    void clicksWhileTheJobUploads()
    {
        QFETCH(QString, button);
        QFETCH(QString, name);
        QTemporaryDir store;
        // The first part is answered only after 1.5 s.
        SimPrinterProcess slow(QString(), store.path(),
                               {"--print-replies", "none,1001", "--hang-ms", "1500"});
        QVERIFY(slow.start());
        prepareJob(name, QStringLiteral("A|B"), slow.host());
        const QString spool = m_controller->SpoolFile;
        m_controller->showSubmitDialog();

        bool clicked = false;
        bool filesThere = false;
        whenReady([&] {
            if (slow.requestBodies(QStringLiteral("print")).isEmpty())
                return false;
            QTest::mouseClick(m_controller->findChild<QPushButton *>(button), Qt::LeftButton);
            QTest::qWait(300); // a removal would run in the listener's thread
            filesThere =
                QFile::exists(spool) && QFile::exists(spool + ".xml") && QFile::exists(spool + ".bar");
            clicked = true;
            return true;
        });
        QTest::mouseClick(m_controller->ui.pushButton_ok, Qt::LeftButton);
        QVERIFY(clicked);
        QVERIFY(filesThere);
        QVERIFY(!m_controller->isVisible());

        const QString data = QString::number(kJobData.size());
        QCOMPARE(QString::fromUtf8(slow.storeFile(name + "/parts.txt")),
                 "1 " + name + "_1.pcl " + data + " none\nend " + name + "_end.pcl 3 1001\n");
        QStringList rows;
        for (const QString &row : qAsConst(m_controller->mPrinterTask.m_workFileList))
            if (row.section('|', 0, 0) == name || row.section('|', 0, 0).isEmpty())
                rows << row.section('|', 0, 2);
        QCOMPARE(rows, QStringList(name + "|" + name + ".pdf|" + QString::fromUtf8("等待中")));
        for (const QString &message : g_log->all())
            QVERIFY2(!message.contains(QStringLiteral("QEventLoop")), qPrintable(message));
    }

    void cancelDropsTheJob()
    {
        prepareJob(QStringLiteral("dlgcancel"), QStringLiteral("A|B"));
        const QString spool = m_controller->SpoolFile;
        m_controller->showSubmitDialog();
        QTest::keyClicks(m_controller->ui.textEdit, QStringLiteral("never mind"));
        QTest::mouseClick(m_controller->ui.pushButton_cancel, Qt::LeftButton);

        QVERIFY(!m_controller->isVisible());
        QVERIFY(m_controller->JobName.isEmpty());
        QVERIFY(m_controller->SecLevel.isEmpty());
        QVERIFY(m_controller->Remark.isEmpty());
        for (const QString &path : {spool, spool + ".xml", spool + ".bar"})
            QTRY_VERIFY2(!QFile::exists(path), qPrintable(path));
        QVERIFY(!QFile::exists(toolLog()));
        for (const QString &event : m_printer->events())
            QVERIFY2(!event.contains(QStringLiteral("dlgcancel")), qPrintable(event));
    }

    void buttonsAfterARefusedTry_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("before"); // the job printed first
        QTest::newRow("print") << "pushButton_ok"
                               << "dlgbefore1";
        QTest::newRow("cancel") << "pushButton_cancel"
                                << "dlgbefore2";
    }
    // A job printed from the dialog, then the listener offers a file still
    // being written, which the intake refuses: with no job in the pipeline a
    // button neither uploads that try nor removes its files.
    void buttonsAfterARefusedTry()
    {
        QFETCH(QString, button);
        QFETCH(QString, before);
        prepareJob(before, QStringLiteral("A|B"));
        m_controller->showSubmitDialog();
        QTest::mouseClick(m_controller->ui.pushButton_ok, Qt::LeftButton);
        QTRY_COMPARE(m_printer->storeFile(before + QStringLiteral("/data.prn")), kJobData);
        emptySpool();

        const QString big = spoolDir() + QStringLiteral("big.pcl");
        for (const QString &path : {big, big + ".xml"}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(path == big ? kJobData.left(20) : QByteArray("<x/>"));
        }
        g_log->clear();
        g_spoolBusy.storeRelease(0);
        QTRY_VERIFY_WITH_TIMEOUT(g_log->contains(QString::fromUtf8("文件正在产生")), 10000);

        // The click comes while the listener's next offer of the file (it
        // grew, so it is offered again) waits in the queue, the busy flag
        // already taken for it.
        m_controller->showSubmitDialog();
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::Append));
            f.write(kJobData.mid(20, 5));
        }
        QElapsedTimer waited;
        waited.start();
        while (g_spoolBusy.loadAcquire() != 1 && waited.elapsed() < 5000)
            QThread::msleep(5);
        QCOMPARE(g_spoolBusy.loadAcquire(), 1);
        const int seen = m_printer->events().size();
        QTest::mouseClick(m_controller->findChild<QPushButton *>(button), Qt::LeftButton);
        QTest::qWait(1200); // an upload or a removal would show by now
        for (const QString &event : m_printer->events().mid(seen))
            QVERIFY2(!event.contains(QStringLiteral("big")), qPrintable(event));
        QVERIFY(QFile::exists(big));
        QVERIFY(QFile::exists(big + ".xml"));
        QVERIFY(!g_log->contains(QStringLiteral("sendXml:")));
        QVERIFY(!g_log->contains(QStringLiteral("--------clear status")));
        m_controller->hide();
        g_spoolBusy.storeRelease(1);
        emptySpool();
    }
};

QTEST_MAIN(TestSubmitDialog)
#include "tst_submit_dialog.moc"
