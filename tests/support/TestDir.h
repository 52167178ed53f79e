// A fresh temporary folder per test, removed with everything in it afterwards.
#pragma once

#include <string>

class TestDir {
  public:
    TestDir();
    ~TestDir();
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    const std::string& path() const { return _path; }
    std::string operator/(const std::string& name) const { return _path + "/" + name; }

    // Parents are created as needed.
    void write(const std::string& rel, const std::string& data, long mtime = -1) const;
    std::string read(const std::string& rel) const;
    void mkdirs(const std::string& rel) const;
    // A symbolic link rel -> target (whatever was at rel goes), with the link's own time.
    void link(const std::string& rel, const std::string& target, long mtime) const;

  private:
    std::string _path;
};
