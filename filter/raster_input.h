// The raster input of the job: libcups reads the stream through our own read
// function, which remembers how the stream ended, so that a clean end of file
// can be told from a stream that breaks off or goes wrong.
#pragma once

#include <cstddef>
#include <string>

#include <cups/raster.h>

struct RasterInput {
    int fd = 0;
    size_t delivered = 0;        // bytes handed to libcups so far
    unsigned char sync[4] = {0}; // the stream's first four bytes
    bool eof = false;            // a read met the end of the input
    int readErrno = 0;           // a read failed with this error
    bool opened = false;         // libcups accepted the stream's start
    // The page header read under way (or the last one):
    bool inHeader = false;
    unsigned headerCalls = 0;    // reads libcups made for it
    size_t headerFirstAsked = 0; // bytes asked for by the first of them
    size_t headerFirstGot = 0;   // bytes the first of them delivered
    unsigned headersRead = 0;    // headers libcups accepted
};

// Opens the raster stream on `fd`; null when libcups refused its start (or
// the input is empty).
cups_raster_t *RasterOpenInput(RasterInput &in, int fd);

// cupsRasterReadHeader2 with the bookkeeping of RasterInput.
bool RasterReadHeader(RasterInput &in, cups_raster_t *ras, cups_page_header2_t *h);

// After the last header read failed (or the open did): empty when the input
// simply ended where a stream or a page header would start, otherwise what
// was wrong with it, as one line for an "ERROR:" message.
std::string RasterEndProblem(const RasterInput &in);
