#include "support/TestDir.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/time.h>

namespace fs = std::filesystem;

TestDir::TestDir() {
    std::string tmpl = (fs::temp_directory_path() / "tresmo-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    _path = tmpl;
}

TestDir::~TestDir() {
    std::error_code ec;
    // Tests may leave folders without permissions behind; give them back first.
    for (auto it = fs::recursive_directory_iterator(_path, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(_path, ec);
}

void TestDir::mkdirs(const std::string& rel) const {
    fs::create_directories(_path + "/" + rel);
}

void TestDir::link(const std::string& rel, const std::string& target, long mtime) const {
    const std::string p = _path + "/" + rel;
    fs::remove_all(p);
    fs::create_symlink(target, p);
    const struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

void TestDir::write(const std::string& rel, const std::string& data, long mtime) const {
    fs::path p = _path + "/" + rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
    if (mtime >= 0) {
        struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
        ::utimes(p.c_str(), tv);
    }
}

std::string TestDir::read(const std::string& rel) const {
    std::ifstream in(_path + "/" + rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
