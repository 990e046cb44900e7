// A private directory under /tmp for one test (short, since socket paths are bounded), removed
// with whatever the test and its processes left in it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
public:
    // `prefix`: the start of the directory's name, to tell whose it is when one is left over.
    explicit TempDir(const std::string& prefix = "aai-test") {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { Remove(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    static void Remove(const std::string& dir) {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") names.push_back(dir + "/" + name);
            }
            ::closedir(d);
        }
        for (const auto& name : names) {
            struct stat st {};
            if (::lstat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                Remove(name);
            } else {
                ::unlink(name.c_str());
            }
        }
        ::rmdir(dir.c_str());
    }

    std::string path_;
};

}  // namespace testsupport
