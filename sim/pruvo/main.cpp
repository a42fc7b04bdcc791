// pruvo: pruvo -prn FILE -xml XMLFILE
// Writes the printer information of FILE into XMLFILE as tags. For a PJL job
// of our filter the values come from the job header and its page records;
// for any other file every tag is written with an empty or zero value.
#include "pjlinfo.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    std::string prn, xml;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-prn") == 0)
            prn = argv[i + 1];
        else if (std::strcmp(argv[i], "-xml") == 0)
            xml = argv[i + 1];
    }
    if (prn.empty() || xml.empty()) {
        std::fprintf(stderr, "usage: pruvo -prn FILE -xml XMLFILE\n");
        return 2;
    }
    PrinterInfo info;
    readPjlJob(prn, info);
    std::string text = formatPrinterInfo(info);
    std::FILE *out = std::fopen(xml.c_str(), "wb");
    if (!out) {
        std::perror(xml.c_str());
        return 1;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = std::fclose(out) == 0 && ok;
    return ok ? 0 : 1;
}
