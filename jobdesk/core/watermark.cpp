// The watermark request of the current job and its barcode images.
#include "printconfig.h"

#include <QDate>
#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QTime>

namespace {

const char kRequestTemplate[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<request type=\"WaterMark\">"
    "<layout>"
    "<bar-code anchor=\"%POS%\"><margin horizontal=\"24pt\" vertical=\"24pt\"/>"
    "<scale width=\"144pt\" height=\"24pt\"/></bar-code>"
    "<text anchor=\"right\"><margin horizontal=\"24pt\" vertical=\"24pt\"/>"
    "<font face=\"Helvetica\" size=\"11\"/></text>"
    "</layout>"
    "%COPY%"
    "<config><InputFile>%FILE%</InputFile>"
    "<OutPutDir>/home/porvik/PorvikOut/</OutPutDir>"
    "<LOGDir>/home/porvik/PorvikOut/</LOGDir></config>"
    "</request>";

// A tool that has not written its image by then is taken to hang.
constexpr int kBarcodeToolTimeoutMs = 60000;

// Runs the barcode tool without a shell, so no part of the page text is ever
// read as a command.
void runBarcodeTool(const QString &imagePath, const QString &text)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.start(QStringLiteral("java"), {QStringLiteral("-jar"), QStringLiteral("BarcodeUtil.jar"), imagePath, text});
    if (!tool.waitForStarted()) {
        qDebug() << "barcode tool did not start:" << tool.errorString();
        return;
    }
    if (!tool.waitForFinished(kBarcodeToolTimeoutMs)) {
        qDebug() << "barcode tool hangs, stopped";
        tool.kill();
        tool.waitForFinished();
    }
}

} // namespace

QString PrintConfig::buildWaterMarkRequest()
{
    const QDateTime now = QDateTime::currentDateTime();
    QString pageTemplate = BarcodeTemplate;
    pageTemplate.replace(QLatin1String("%USERNAME%"), DomainAccount);
    pageTemplate.replace(QLatin1String("%DEP%"), DepName);
    pageTemplate.replace(QLatin1String("%PRINTERNAME%"), JPrinterName);
    pageTemplate.replace(QLatin1String("%PRINTERIP%"), IPAddr);
    pageTemplate.replace(QLatin1String("%SEC%"), SecLevel);
    pageTemplate.replace(QLatin1String("%IPADDR%"), IPAddr);
    pageTemplate.replace(QLatin1String("%COMPUTERNAME%"), ComputerName);
    pageTemplate.replace(QLatin1String("%DATE%"), now.date().toString(QStringLiteral("yyyy-MM-dd")));
    pageTemplate.replace(QLatin1String("%TIME%"), now.time().toString(QStringLiteral("hh:mm:ss")));
    pageTemplate.replace(QLatin1String("%COMPANY%"), SpoolStem);

    QString request = QString::fromLatin1(kRequestTemplate);

    BarcodePosition.replace(QLatin1String("rightbottom"), QLatin1String("bottom-right"));
    BarcodePosition.replace(QLatin1String("righttop"), QLatin1String("top-right"));
    BarcodePosition.replace(QLatin1String("leftbottom"), QLatin1String("bottom-left"));
    BarcodePosition.replace(QLatin1String("lefttop"), QLatin1String("top-left"));
    qDebug() << "sImagePosition :" << BarcodePosition;
    request.replace(QLatin1String("%POS%"), BarcodePosition);

    if (Copies >= 1 && Pages >= 1 && !QDir(QStringLiteral("png")).exists())
        QDir().mkpath(QStringLiteral("png"));

    QString copyList;
    for (int c = 1; c <= Copies; ++c) {
        copyList += QLatin1String("<copy>");
        QString pageList;
        for (int p = 1; p <= Pages; ++p) {
            QString text = pageTemplate;
            text.replace(QLatin1String("{0:000}"), QString::number(c));
            text.replace(QLatin1String("{1}"), QString::number(p));
            const QString imagePath = QStringLiteral("./png/%1-%2.png").arg(c).arg(p);
            const QString command = QStringLiteral("java  -jar   BarcodeUtil.jar %1  %2").arg(imagePath).arg(text);
            runBarcodeTool(imagePath, text);
            qDebug().noquote() << command;
            pageList += QLatin1String("<page><bar-code>") + imagePath + QLatin1String("</bar-code><text>") + text
                        + QLatin1String("</text></page>");
        }
        copyList += pageList + QLatin1String("</copy>");
    }

    request.replace(QLatin1String("%FILE%"), SpoolFile);
    request.replace(QLatin1String("%COPY%"), copyList);
    return request;
}
