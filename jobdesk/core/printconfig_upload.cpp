#include "printconfig.h"

void PrintConfig::sendPrintJob() {}

void PrintConfig::onMessageCallback(int, int, QString, QString, QString) {}

void PrintConfig::addJobToList() {}
