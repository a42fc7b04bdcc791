#include "printconfig.h"

#include <QDomDocument>
#include <QFile>
#include <QTextStream>

void PrintConfig::writeJobTicket()
{
    QDomDocument doc;
    doc.appendChild(doc.createProcessingInstruction(QStringLiteral("xml"),
                                                    QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
    QDomElement root = doc.createElement(QStringLiteral("Attribute"));
    doc.appendChild(root);

    const std::pair<const char *, QString> fields[] = {
        {"UserID", DomainAccount},
        {"JobID", JobName},
        {"IPAddr", IPAddr},
        {"WorkGroup", WorkGroup},
        {"ComputerName", ComputerName},
        {"Domain", Domain},
        {"DomainAccount", DomainAccount},
        {"PrintServer", PrintServer},
        {"PrintServerAccount", PrintServerAccount},
        {"JPrinterName", JPrinterName},
        {"DriverName", DriverName},
        {"PortName", PortName},
        {"FileName", FileName},
        {"PaperSize", QString::number(PaperSize, 10)},
        {"Pages", QString::number(Pages, 10)},
        {"Copies", QString::number(Copies, 10)},
        {"Duplex", QString::number(Duplex, 10)},
        {"Color", Color},
        {"Collate", Collate},
        {"ProcessedFileName", ProcessedFileName},
        {"ProcessedFileSize", ProcessedFileSize},
        {"ProcessedFileTime", ProcessedFileTime},
        {"CheckBit", CheckBit},
    };
    for (const auto &f : fields) {
        QDomElement e = doc.createElement(QLatin1String(f.first));
        e.appendChild(doc.createTextNode(f.second));
        root.appendChild(e);
    }

    QFile file(SpoolFile + QStringLiteral(".xml"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << doc.toString(1) << Qt::endl;
    out.flush();
    file.close();
}

QString PrintConfig::extendedJobTicket() const
{
    QByteArray bytes;
    QFile file(XmlFile);
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    QString ticket = QString::fromUtf8(bytes);
    ticket.replace(QStringLiteral("</Attribute>"),
                   QStringLiteral("<MediaSize>A4</MediaSize><HostInterface>") + HostInterface
                       + QStringLiteral("</HostInterface><Sec>comman</Sec></Attribute>"));
    return ticket;
}
