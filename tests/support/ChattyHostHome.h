#pragma once

#include "TempHostHome.h"
#include "TestFiles.h"

#include "pgulo/host/EvDebug.h"
#include "pgulo/host/HostHome.h"

#include <string>

namespace pgulo::test {

// A fresh host home whose registry asks for every debug line, for tests that check what the
// agent logs. Make it before the first log line of the process reads the level.
class ChattyHostHome {
public:
    ChattyHostHome() {
        TestFiles::Write(HostHome::registryFile(), "[EvDebug]\nnDebugLevel=9\n");
        EvDebug::reloadSettings();
    }
    const std::string& path() const { return home_.path(); }
    // The debug log so far.
    static std::string Log() { return TestFiles::Read(EvDebug::logFilePath()); }

private:
    TempHostHome home_;
};

} // namespace pgulo::test
