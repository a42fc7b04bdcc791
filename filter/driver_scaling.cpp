// Page scaling rules of the job driver: custom sizes larger than the printer,
// a size change against the reference page, fit to paper, the user's percent.
#include "driver.h"

#include "pagerecord.h"
#include "velmora.h"

static const char kMain[] = "main";

// Ratio that fits a page of W x H points into A4, as the printer scales custom sizes.
static int FitToA4Ratio(float W, float H, const char *r1Log, const char *ratioLog)
{
    int r1 = (int)(595.0f / W * 100.0f);
    DbgMessage(kMain, r1Log, r1);
    float r2 = 842.0f / H * 100.0f;
    int ratio = r1 > r2 ? (int)r2 : r1;
    DbgMessage(kMain, ratioLog, ratio);
    return ratio;
}

static int MinRatio(float tw, float th, float W, float H)
{
    int w1 = (int)(tw / W * 100.0f);
    DbgMessage(kMain, "page 1 width ratio %d!", w1);
    float h1 = th / H * 100.0f;
    return w1 > h1 ? (int)h1 : w1;
}

int ApplyPageScaling(cups_page_header2_t *h, const cups_page_header2_t *ref, bool printerA3, float *MW,
                     float *MH)
{
    int paper_type = GetPaperSizeCode(h, printerA3);
    int paper_type_p1 = ref ? GetPaperSizeCode(ref, printerA3) : paper_type;
    int ratio = 100;
    float W = h->PageSize[0], H = h->PageSize[1];

    if (paper_type == PAPER_CODE_CUSTOM && (W > *MW || H > *MH)) {
        DbgMessage(kMain, "custom width fit to A4!");
        ratio = FitToA4Ratio(W, H, "width ratio %d!", "ratio %d!");
        *MW = 595.0f;
        *MH = 842.0f;
    }
    if (!printerA3 && ref && (ref->PageSize[0] != h->PageSize[0] || ref->PageSize[1] != h->PageSize[1])) {
        float RW = ref->PageSize[0], RH = ref->PageSize[1];
        int custom_ratio = 100;
        if (paper_type_p1 == PAPER_CODE_CUSTOM && (RW > *MW || RH > *MH)) {
            custom_ratio = FitToA4Ratio(RW, RH, "custom width ratio %d!", "custom ratio %d!");
            *MW = 595.0f;
            *MH = 842.0f;
        }
        ratio = MinRatio(RW * custom_ratio / 100.0f, RH * custom_ratio / 100.0f, W, H);
        DbgMessage(kMain, "ratio %d!", ratio);
    }
    unsigned n = h->cupsInteger[13];
    if (n >= 1 && n <= PAPER_FORMAT_ROWS) {
        const PAPERFORMAT &row = gPaperFormat[n - 1];
        ratio = MinRatio(row.w, row.h, W, H);
        DbgMessage(kMain, "fit to paper %d ratio %d!", (int)n, ratio);
        h->PageSize[0] = row.w;
        h->PageSize[1] = row.h;
    }
    if (h->cupsInteger[7] != 0)
        h->cupsInteger[7] = (unsigned)((unsigned long long)ratio * h->cupsInteger[7] / 100);
    else
        h->cupsInteger[7] = ratio;
    DbgMessage(kMain, "final ratio %d!", (int)h->cupsInteger[7]);
    return (int)h->cupsInteger[7];
}
