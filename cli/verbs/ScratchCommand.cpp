#include "ScratchCommand.h"

#include "CliError.h"
#include "SignalGuard.h"

#include <chrono>
#include <cstdio>
#include <thread>

int ScratchCommand::Run(HostContext& host, const Options& options) {
    if (!options.dumpDatabase.empty() && (options.pgDump.empty() || options.dumpFile.empty()))
        throw CliError::Usage("--dump-database needs --pg-dump and --dump-file");
    ScratchServer server(host, options.server);
    std::printf("port=%d socket=%s directory=%s os_user=%s\n", server.Port(),
                server.SocketDirectory().c_str(), server.Directory().c_str(),
                server.OsUser().c_str());
    std::fflush(stdout);
    if (!options.dumpDatabase.empty())
        server.DumpDatabase(options.dumpDatabase, options.pgDump, options.dumpFile);
    while (options.hold && !SignalGuard::QuitRequested())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
