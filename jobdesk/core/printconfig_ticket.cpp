#include "printconfig.h"

#include "jobcopy.h"
#include "spoolfiles.h"

#include <QDomDocument>

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

    // Into the job's own copy of its companion, as a new file renamed over it.
    spoolfiles::replaceFile(XmlFile, (doc.toString(1) + QLatin1Char('\n')).toUtf8());
}

QString PrintConfig::extendedJobTicket() const
{
    QByteArray bytes;
    spoolfiles::readRegular(XmlFile, &bytes, jobcopy::kMaxCompanionBytes);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    QString ticket = QString::fromUtf8(bytes);
    ticket.replace(QStringLiteral("</Attribute>"),
                   QStringLiteral("<MediaSize>A4</MediaSize><HostInterface>") + HostInterface
                       + QStringLiteral("</HostInterface><Sec>comman</Sec></Attribute>"));
    return ticket;
}
