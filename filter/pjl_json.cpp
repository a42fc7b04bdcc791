// Reader of the accounting tool's JSON job file: a flat scan for strings,
// keys matched without regard to case.
#include "pjl_internal.h"

#include <cerrno>
#include <cstring>
#include <strings.h>
#include <vector>

#include "paths.h"
#include "velmora.h"

static const char *const kJsonKeys[JSON_OUT_SLOTS] = {
    "AUTHCODE", "USERNAME", "ACCTPASS", "DUPLEX", "DUPLEXTYPE", "NOTIFYURL", "CHECKAUTHCODEURL",
};

enum { JSON_MAX_STRINGS = 50, JSON_PASSWORD = 2 };

BOOL ParseJSON(const char *szJsonFileName, char outputJsonInfo[JSON_OUT_SLOTS][JSON_SLOT_SIZE])
{
    static const char fn[] = "ParseJSON";
    FILE *f = FopenPrivate(szJsonFileName, "r");
    if (!f) {
        int e = errno;
        DbgMessage(fn, "Open file failed, errno = %d, %s", e, strerror(e));
        return FALSE;
    }
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0)
        size = ftell(f);
    if (size < 0 || fseek(f, 0, SEEK_SET) != 0) {
        DbgMessage(fn, "fread failed, incorrect elements = %d", 0);
        fclose(f);
        return FALSE;
    }
    std::vector<char> data((size_t)size);
    size_t got = size ? fread(data.data(), 1, data.size(), f) : 0;
    fclose(f);
    if (got != (size_t)size) {
        DbgMessage(fn, "fread failed, incorrect elements = %d", (int)got);
        return FALSE;
    }
    DbgMessage(fn, "dataSize = %d", (int)size);
    DbgMessage(fn, "Close file");

    char strs[JSON_MAX_STRINGS][JSON_SLOT_SIZE];
    int count = 0;
    bool started = false;
    for (size_t i = 0; i < data.size(); i++) {
        char c = data[i];
        if (!started) {
            if (c == '{') {
                started = true;
                DbgMessage(fn, "JSON_START");
            }
            continue;
        }
        if (c == '"') {
            size_t start = i + 1, end = start;
            while (end < data.size() && data[end] != '"')
                end++;
            if (count < JSON_MAX_STRINGS) {
                size_t n = std::min(end - start, (size_t)JSON_SLOT_SIZE - 1);
                memcpy(strs[count], data.data() + start, n);
                strs[count][n] = 0;
                // The string after the password key is the password: it goes to the printer only.
                bool secret = count > 0 && strcasecmp(strs[count - 1], kJsonKeys[JSON_PASSWORD]) == 0;
                DbgMessage(fn, "jsonStr[%d] = %s", count, secret ? "***" : strs[count]);
                count++;
            }
            i = end; // at the closing quote, or past the end of an unclosed string
            continue;
        }
        if (c == '}') {
            DbgMessage(fn, "JSON_END");
            for (int l = 0; l < count; l++) {
                for (int k = 0; k < JSON_OUT_SLOTS; k++) {
                    if (strcasecmp(strs[l], kJsonKeys[k]) != 0)
                        continue;
                    const char *value = l + 1 < count ? strs[l + 1] : "";
                    snprintf(outputJsonInfo[k], JSON_SLOT_SIZE, "%s", value);
                    DbgMessage(fn, "jsonStr[%d] = %s", k, k == JSON_PASSWORD ? "***" : outputJsonInfo[k]);
                }
            }
            return TRUE;
        }
    }
    return FALSE;
}
