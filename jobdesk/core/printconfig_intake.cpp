#include "printconfig.h"

#include "listenfile.h"

void PrintConfig::onFindFile(QString fileName)
{
    SpoolFile = fileName;
    g_spoolBusy.storeRelease(0);
}

bool PrintConfig::isFileComplete()
{
    return false;
}

void PrintConfig::runPrnTool() {}

bool PrintConfig::readPrinterInfo()
{
    return false;
}

void PrintConfig::clearStatus() {}
