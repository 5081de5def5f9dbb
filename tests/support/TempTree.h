#pragma once

#include <string>

namespace pgulo::test {

// A fresh directory under the temporary directory, mode 0755 so that the server's OS user can
// traverse it; removed with everything below it at the end.
class TempTree {
public:
    // prefix names the directory, e.g. "pgulo-dirs" gives /tmp/pgulo-dirs-XXXXXX.
    explicit TempTree(const std::string& prefix);
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return root_; }
    // A path below the root; nothing is created.
    std::string Path(const std::string& name) const { return root_ + "/" + name; }
    // A directory below the root, created (with its parents) when missing.
    std::string Dir(const std::string& name) const;

private:
    std::string root_;
};

} // namespace pgulo::test
