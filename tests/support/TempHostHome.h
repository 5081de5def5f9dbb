#pragma once

#include <string>

namespace pgulo::test {

// A fresh host home: PGULO_HOME points at a new temporary directory while the object lives,
// and the host services reread their settings on the way in and out.
class TempHostHome {
public:
    TempHostHome();
    ~TempHostHome();
    TempHostHome(const TempHostHome&) = delete;
    TempHostHome& operator=(const TempHostHome&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace pgulo::test
