#include "printconfig.h"

QString PrintConfig::buildWaterMarkRequest()
{
    return QString();
}
