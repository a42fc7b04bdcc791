// Stand-in of the accounting tool: "atm -f JSONFILE -n TITLE" writes a JSON
// job file with the seven accounting keys and returns.
//
// Its own variables, for tests:
//   ATM_SIM_REPLY  a file whose bytes are written as the JSON file instead
//   ATM_SIM_LOG    a file to which every argument is appended, one per line
//   ATM_SIM_FAIL   set: write nothing and exit 1
//   ATM_SIM_CHATTY set: say on standard error which title it accounts for
//   ATM_SIM_WAIT_MS  stay this long after writing the answer, as a tool still running
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static std::string JsonEscape(const char *s)
{
    std::string out;
    for (; *s; s++) {
        if (*s == '"' || *s == '\\')
            out += '\\';
        out += *s;
    }
    return out;
}

int main(int argc, char **argv)
{
    const char *json = nullptr, *title = "";
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "-f") == 0)
            json = argv[++i];
        else if (strcmp(argv[i], "-n") == 0)
            title = argv[++i];
    }
    if (const char *log = getenv("ATM_SIM_LOG")) {
        if (FILE *f = fopen(log, "a")) {
            fprintf(f, "argc=%d\n", argc);
            for (int i = 1; i < argc; i++)
                fprintf(f, "%s\n", argv[i]);
            fclose(f);
        }
    }
    if (!json) {
        fprintf(stderr, "usage: atm -f JSONFILE -n TITLE\n");
        return 2;
    }
    if (getenv("ATM_SIM_FAIL"))
        return 1;
    if (getenv("ATM_SIM_CHATTY"))
        fprintf(stderr, "atm: accounting for %s\n", title);

    std::string body;
    if (const char *reply = getenv("ATM_SIM_REPLY")) {
        FILE *r = fopen(reply, "rb");
        if (!r)
            return 1;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, r)) > 0)
            body.append(buf, n);
        fclose(r);
    } else {
        body = "{\n  \"AUTHCODE\": \"A1B2C3\",\n  \"USERNAME\": \"acct-user\",\n"
               "  \"ACCTPASS\": \"acct-pass\",\n  \"DUPLEX\": \"OFF\",\n  \"DUPLEXTYPE\": \"BOOKLET\",\n"
               "  \"NOTIFYURL\": \"http://127.0.0.1/notify\",\n"
               "  \"CHECKAUTHCODEURL\": \"http://127.0.0.1/check\",\n  \"TITLE\": \"" +
               JsonEscape(title) + "\"\n}\n";
    }
    // The job file lives in a shared folder: never through a planted link, private mode.
    int fd = open(json, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        fprintf(stderr, "atm: %s: %s\n", json, strerror(errno));
        return 1;
    }
    ssize_t w = write(fd, body.data(), body.size());
    close(fd);
    if (const char *wait = getenv("ATM_SIM_WAIT_MS"))
        usleep((useconds_t)atoi(wait) * 1000);
    return w == (ssize_t)body.size() ? 0 : 1;
}
