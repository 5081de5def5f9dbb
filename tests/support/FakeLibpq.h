#pragma once

// The stand-in libpq of FakeLibpq.cpp as the tests reach it: where its builds lie, and the two
// hooks it offers beside libpq's own functions.

#include <dlfcn.h>

#include <string>

namespace pgulo::test {

// The complete stand-in, or, with missing given, the build that lacks that function (built for
// PQfreemem, PQstatus, PQreset and PQbinaryTuples).
inline std::string FakeLibpqPath(const std::string& missing = "") {
    const std::string complete = PGULO_FAKE_LIBPQ_PATH;
    if (missing.empty())
        return complete;
    return complete.substr(0, complete.rfind('/')) + "/libpgulo_fake_libpq_no_" + missing + ".so";
}

// The stand-in at libraryPath as loaded in this process; null when it is not loaded.
inline void* LoadedFakeLibpqSymbol(const std::string& libraryPath, const char* name) {
    void* handle = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return nullptr;
    void* symbol = ::dlsym(handle, name);
    ::dlclose(handle);
    return symbol;
}

// The connection string the loaded stand-in last received.
inline std::string LastConnInfo(const std::string& libraryPath) {
    using Getter = const char* (*)();
    auto getter =
        reinterpret_cast<Getter>(LoadedFakeLibpqSymbol(libraryPath, "fakepq_last_conninfo"));
    return getter != nullptr ? getter() : "<stand-in not loaded>";
}

// Plays a server notice through the loaded stand-in: false when no notice processor was set.
inline bool EmitNotice(const std::string& libraryPath, const char* text) {
    using Emitter = int (*)(const char*);
    auto emit = reinterpret_cast<Emitter>(LoadedFakeLibpqSymbol(libraryPath, "fakepq_notice"));
    return emit != nullptr && emit(text) == 1;
}

} // namespace pgulo::test
