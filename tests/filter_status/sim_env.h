// Test helpers: a private root folder for the filter's fixed paths, the
// simulated status-monitor library placed in it, and its state file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace simenv {

namespace fs = std::filesystem;

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string &path, const std::string &text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        out.push_back(l);
    return out;
}

inline int countLines(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (const std::string &l : lines(text))
        if (l.find(needle) != std::string::npos)
            ++n;
    return n;
}

// A fresh folder under /tmp, removed with the object.
class TempDir {
public:
    explicit TempDir(const char *tag)
    {
        std::string tmpl = std::string("/tmp/") + tag + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            std::abort();
        path_ = buf.data();
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Puts a copy of a built library at `fixedPath` under `root` (a fresh file, so
// the loader never mistakes it for one loaded earlier).
inline void placeLibrary(const std::string &root, const std::string &builtLib, const std::string &fixedPath)
{
    fs::path dst = root + fixedPath;
    fs::create_directories(dst.parent_path());
    fs::remove(dst);
    fs::copy_file(builtLib, dst);
}

inline void removeLibraries(const std::string &root)
{
    std::error_code ec;
    for (const char *p : {"/usr/bin", "/usr/lib64", "/opt", "JYX30"})
        fs::remove_all(root + p, ec);
}

} // namespace simenv

namespace simenv {

// Points the filter's root prefix at a private folder for the whole test
// process, so that nothing reaches the real fixed paths. Call before the
// filter code runs (it reads the prefix once).
inline const std::string &privateRoot(const char *tag)
{
    static TempDir dir(tag);
    static bool once = [] {
        setenv("RASTERPRESS_TEST_ROOT", dir.path().c_str(), 1);
        fs::create_directories(dir.path() + "/tmp");
        return true;
    }();
    (void)once;
    return dir.path();
}

} // namespace simenv
