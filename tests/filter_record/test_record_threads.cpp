// Page workers build their records at the same time: every record must come
// out as if it had been built alone (no shared scratch state in the record
// builder, the JBIG wrapper or the page cipher).
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pagerecord.h"
#include "rasterpress.h"
#include "record_test_util.h"

namespace {

JobInfo *slotFor(const Bytes &page, unsigned w, unsigned h, int caps)
{
    JobInfo *s = new JobInfo{};
    s->page_width = w;
    s->page_height = h;
    s->linebyte = w / 8;
    s->pagesize = DWORD(page.size());
    s->lpbuf = static_cast<BYTE *>(std::malloc(page.size()));
    std::memcpy(s->lpbuf, page.data(), page.size());
    s->Feature[caps >> 3] |= BYTE(1 << (caps & 7));
    s->Feature[CAP_CHECKSUM >> 3] |= BYTE(1 << (CAP_CHECKSUM & 7));
    return s;
}

TEST(RecordThreads, ConcurrentRecordsMatchSequentialOnes)
{
    const unsigned w = 512, h = 128, n = 8;
    std::vector<Bytes> pages;
    for (unsigned i = 0; i < n; ++i) {
        Bytes p = noise(size_t(w / 8) * h, i + 1);
        for (size_t k = 0; k < p.size(); ++k)
            if ((k / (w / 8)) % (i + 2))
                p[k] = 0;
        pages.push_back(p);
    }
    auto build = [&](unsigned i) {
        JobInfo *s = slotFor(pages[i], w, h, i % 2 ? CAP_SSL : CAP_JBIG);
        EXPECT_TRUE(ImageCompress(s));
        Bytes rec(s->lpbuf, s->lpbuf + PAGE_RECORD_HEAD + s->outLen);
        std::free(s->lpbuf);
        delete s;
        return rec;
    };
    std::vector<Bytes> alone, together(n);
    for (unsigned i = 0; i < n; ++i)
        alone.push_back(build(i));
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < n; ++i)
        workers.emplace_back([&, i] { together[i] = build(i); });
    for (auto &t : workers)
        t.join();
    for (unsigned i = 0; i < n; ++i)
        EXPECT_TRUE(together[i] == alone[i]) << "page " << i;
}

} // namespace
