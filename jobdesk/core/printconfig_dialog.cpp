#include "printconfig.h"

void PrintConfig::onBtnClicked() {}

void PrintConfig::onRadionBtnClicked() {}

void PrintConfig::showSubmitDialog() {}
