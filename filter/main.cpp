// rasterpress: CUPS raster in, one PJL job of QZGDI page records out.
#include <csignal>
#include <cstdio>

#include "driver.h"

int main(int argc, char *argv[])
{
    // CUPS reads standard error line by line as the filter writes it.
    setvbuf(stderr, nullptr, _IONBF, 0);
    // A backend that goes away must end the job through a write error, not kill it mid-record.
    signal(SIGPIPE, SIG_IGN);
    return RunFilter(argc, argv);
}
