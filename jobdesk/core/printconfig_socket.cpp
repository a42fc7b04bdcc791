#include "printconfig.h"

#include <QDebug>
#include <QDomDocument>

void PrintConfig::onSocketMessage(QString message)
{
    QDomDocument doc;
    doc.setContent(message);
    const QString type = doc.documentElement().attribute(QStringLiteral("type"));
    // Both known setting types are recognised; neither is stored or applied.
    if (type == QLatin1String("DBSetting")) {
    } else if (type == QLatin1String("BarcodeSetting")) {
    }
    qDebug().noquote() << "socket recive" << message;
}
