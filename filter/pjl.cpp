// The byte writer every part of the job stream passes through, the fixed PJL
// sequences, and the close-of-job sequence with its 512-byte rule.
#include "pjl_internal.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "header_word.h"
#include "velmora.h"

const char DrvCancelStr[] = "\x1b"
                            "E\x1b%-12345X@PJL CANCEL\r\n@PJL EOJ\r\n\x1b%-12345X";
const char UELStr[] = "\x1b%-12345X";
const char EndOfJobStr[] = "\x1b"
                           "E\x1b%-12345X@PJL\r\n";
const char DrvCancelStr2[] = "\x1b"
                             "E\x1b%-12345X@PJL HOST_CANCEL\r\n@PJL CANCEL\r\n@PJL EOJ\r\n\x1b%-12345X";

static_assert(sizeof(DrvCancelStr) - 1 == 43, "cancel sequence is 43 bytes");
static_assert(sizeof(UELStr) - 1 == 9, "UEL is 9 bytes");
static_assert(sizeof(EndOfJobStr) - 1 == 17, "end-of-job sequence is 17 bytes");
static_assert(sizeof(DrvCancelStr2) - 1 == 61, "host cancel sequence is 61 bytes");

size_t WritePort(const void *ptr, size_t size, size_t nitems, FILE *stream)
{
    size_t n = fwrite(ptr, size, nitems, stream);
    // A short write to the backend means the job cannot be delivered: stop, do not run on.
    if (n != nitems || (stream == stdout && fflush(stream) != 0))
        gOutputFailed.store(1, std::memory_order_release);
    if (stdoutPRN)
        fwrite(ptr, size, nitems, stdoutPRN);
    return n;
}

// Pages sent so far and how many copies the printer makes of each (filter(7)).
static std::atomic<unsigned> gPagesSent{0};
static std::atomic<int> gCopiesPerPage{1};

int PrinterCopies(const cups_page_header2_t *inheader, BOOL bDriverDoCollate)
{
    return (HeaderWord(inheader->Collate) || bDriverDoCollate) ? 1 : (int)inheader->NumCopies;
}

void StartPageCount(int copiesPerPage)
{
    gPagesSent.store(0);
    gCopiesPerPage.store(copiesPerPage > 0 ? copiesPerPage : 1);
}

void ReportPageSent()
{
    // CUPS's page log and quotas count these lines of the last filter.
    if (!gOutputFailed.load(std::memory_order_acquire))
        CupsLinef("PAGE: ", "%u %d", gPagesSent.fetch_add(1) + 1, gCopiesPerPage.load());
}

std::string CloseJobTail(BOOL cancel)
{
    std::string tail = "@PJL SET TIMEOUT=5\r\n";
    if (cancel) {
        tail += "@PJL HOST_CANCEL\r\n";
        DbgMessage("PJL_WriteCloseJobCmd", "add host cancel PJL");
    }
    tail += "@PJL EOJ\r\n";
    tail += UELStr;
    if (cancel) {
        tail.append(DrvCancelStr2, sizeof(DrvCancelStr2) - 1);
        DbgMessage("PJL_WriteCloseJobCmd", "add host cancel PJL 2");
    }
    return tail;
}

BOOL PJL_WriteCloseJobCmd(cups_page_header2_t *inheader, BOOL cancel)
{
    (void)inheader;
    DbgMessage("PJL_WriteCloseJobCmd", "In");
    WritePort(EndOfJobStr, 1, sizeof(EndOfJobStr) - 1, stdout);
    count_bytes += sizeof(EndOfJobStr) - 1;
    gOutputSize += sizeof(EndOfJobStr) - 1;

    std::string tail = CloseJobTail(cancel);
    gOutputSize += (int)tail.size();

    // The printer misreads a stream that ends exactly on a 512-byte boundary.
    if ((count_bytes.load() + tail.size()) % 512 == 0) {
        static const char align[] = "@PJL COMMENT DATA ALIGNMENT 512\r\n";
        static_assert(sizeof(align) - 1 == 33, "alignment comment is 33 bytes");
        WritePort(align, 1, sizeof(align) - 1, stdout);
        count_bytes += sizeof(align) - 1;
        gOutputSize += sizeof(align) - 1;
        DbgMessage("PJL_WriteCloseJobCmd", "512 alignment data send");
    }
    WritePort(tail.data(), 1, tail.size(), stdout);
    count_bytes += (DWORD)tail.size();
    fflush(stdout);
    DbgMessage("PJL_WriteCloseJobCmd", "count_bytes = %d", (int)count_bytes.load());
    return TRUE;
}

DWORD RingSlotsFor(const cups_page_header2_t *inheader, unsigned long long paperPixels,
                   unsigned long long availableMemory)
{
    // In 64 bits: the pixels of a large page times 4 do not fit in 32.
    unsigned long long referSize = std::max<unsigned long long>(
        static_cast<unsigned long long>(inheader->cupsHeight) * inheader->cupsWidth, paperPixels);
    if (inheader->cupsInteger[4] == 1)
        referSize <<= 2;
    else
        referSize <<= 1;
    DbgMessage("StartJob", "referSize = %llu", referSize);
    DbgMessage("StartJob", "getTotalSystemMemory = %llu", availableMemory);
    unsigned long long slots = referSize ? availableMemory / 2 / referSize : 0;
    DbgMessage("StartJob", "gMAX_THREAD = %d", (int)slots);
    if (slots < 1)
        slots = 1;
    if (slots > MAX_RING_SLOTS)
        slots = MAX_RING_SLOTS;
    DbgMessage("StartJob", "gMAX_THREAD = %d", (int)slots);
    return (DWORD)slots;
}
