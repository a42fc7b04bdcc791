// Printer information taken from a PJL job written by our raster filter.
#pragma once

#include <cstdint>
#include <string>

struct PrinterInfo {
    std::string copies = "0";
    std::string printerName;     // queue name, the printer's address
    std::string portName;        // device URI
    std::string duplex = "0";
    std::string pages = "0";
    std::string color = "0";
    std::string collate = "0";
    std::string fileName;        // document title
    std::string domainAccount;   // user name
    std::string paperSize = "0";
    std::string fileSize = "0";
    std::string fileTime;        // "yyyy/MM/dd hh:mm:ss", local time
    std::string computerName;    // host the filter ran on
};

// Fills `info` from the print file at `path`. Returns false (and leaves the
// empty/zero defaults) when the file is not a PJL job of our filter.
bool readPjlJob(const std::string &path, PrinterInfo &info);

// The tag text the intake reads by its marks; values go in as they stand.
std::string formatPrinterInfo(const PrinterInfo &info);
