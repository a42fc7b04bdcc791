#include "options.h"

#include <fstream>
#include <sstream>

std::vector<std::string> splitList(const std::string &text, char separator)
{
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, separator))
        items.push_back(item);
    if (!text.empty() && text.back() == separator)
        items.push_back(std::string());
    return items;
}

namespace {

bool toInt(const std::string &text, int &value)
{
    try {
        size_t used = 0;
        value = std::stoi(text, &used);
        return used == text.size();
    } catch (...) {
        return false;
    }
}

bool apply(const std::string &key, const std::string &value, SimOptions &o, std::string &error)
{
    bool ok = true;
    if (key == "host")
        o.host = value;
    else if (key == "port")
        ok = toInt(value, o.port);
    else if (key == "store")
        o.store = value;
    else if (key == "print-replies")
        o.printReplies = splitList(value, ',');
    else if (key == "states")
        o.states = splitList(value, ',');
    else if (key == "state-interval-ms")
        ok = toInt(value, o.stateIntervalMs);
    else if (key == "unknown-job-reply")
        o.unknownJobReply = value;
    else if (key == "printer-status")
        o.printerStatus = value;
    else if (key == "printer-status-http")
        ok = toInt(value, o.printerStatusHttp);
    else if (key == "cancel-http")
        ok = toInt(value, o.cancelHttp);
    else if (key == "remove-reply")
        o.removeReply = value;
    else if (key == "hang-ms")
        ok = toInt(value, o.hangMs);
    else {
        error = "unknown option: " + key;
        return false;
    }
    if (!ok)
        error = "bad number for " + key + ": " + value;
    return ok;
}

bool readScript(const std::string &path, SimOptions &o, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read script " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (!apply(key, value, o, error))
            return false;
    }
    return true;
}

} // namespace

bool parseOptions(int argc, char **argv, SimOptions &o, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
            error = "expected --option value, got " + arg;
            return false;
        }
        const std::string key = arg.substr(2);
        const std::string value = argv[++i];
        if (key == "script") {
            if (!readScript(value, o, error))
                return false;
        } else if (!apply(key, value, o, error)) {
            return false;
        }
    }
    if (o.host.rfind("127.", 0) != 0) {
        error = "--host must be a loopback address (127.x.x.x)";
        return false;
    }
    if (o.store.empty()) {
        error = "--store FOLDER is required";
        return false;
    }
    return true;
}
