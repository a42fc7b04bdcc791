#include "printconfig.h"

void PrintConfig::onGetJobPrinterStatus(QString, QString) {}
