#include "printconfig.h"

void PrintConfig::insertJobRecord() {}

void PrintConfig::updateJobRecord(QString, QString) {}
