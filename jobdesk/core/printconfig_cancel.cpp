#include "printconfig.h"

void PrintConfig::onCancelJob(QString) {}

void PrintConfig::onJobCancel(int, int, QString, QString, QString) {}

void PrintConfig::removeJobStatus(QString, QString) {}

void PrintConfig::onRemoveJobStatus(int, int, QString, QString, QString) {}
