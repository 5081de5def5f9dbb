#include "pgulo/host/UtfFileApi.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <unistd.h>
#include <vector>

int chdir_utf(const std::string& path) {
    return ::chdir(path.c_str());
}

int getcwd_utf(std::string& path) {
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            path = buffer.data();
            return 0;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20))
            return -1;
        buffer.resize(buffer.size() * 2);
    }
}

int lchown_utf(const std::string& path, uid_t owner, gid_t group) {
    return ::lchown(path.c_str(), owner, group);
}

std::string mbeToUtf(const std::string& text) {
    const char* codeset = ::nl_langinfo(CODESET);
    if (codeset == nullptr || *codeset == '\0' || ::strcasecmp(codeset, "UTF-8") == 0 ||
        ::strcasecmp(codeset, "UTF8") == 0)
        return text;
    bool ascii = true;
    for (unsigned char c : text)
        ascii = ascii && c < 0x80;
    if (ascii)
        return text;
    iconv_t converter = ::iconv_open("UTF-8", codeset);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return text;
    std::vector<char> in(text.begin(), text.end());
    std::vector<char> out(text.size() * 4 + 16);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = ::iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
    ::iconv_close(converter);
    if (rc == static_cast<size_t>(-1) || inLeft != 0)
        return text;
    return std::string(out.data(), out.size() - outLeft);
}
