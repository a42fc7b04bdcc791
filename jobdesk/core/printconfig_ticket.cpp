#include "printconfig.h"

void PrintConfig::writeJobTicket() {}
