#pragma once
// A unique directory under /tmp for one test, removed with everything in it
// when the object goes out of scope.

#include <string>

class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Writes text to file(name) and returns that path.
    std::string write(const std::string& name, const std::string& text) const;
    // The whole content of file(name); empty when it cannot be read.
    std::string read(const std::string& name) const;

private:
    std::string m_path;
};
