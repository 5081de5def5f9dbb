#include "InstanceCommand.h"

#include "BackupCommand.h"
#include "CliError.h"
#include "Compression.h"
#include "FileOps.h"
#include "HostContext.h"
#include "PasswordSource.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <sstream>

namespace {

nlohmann::json Describe(const InstanceSettings& s) {
    // The password is never shown, not even sealed: only whether there is one.
    return {{"name", s.name},
            {"id", s.id},
            {"pgdata", s.pgdata},
            {"bindir", s.binDir},
            {"libdir", s.libDir},
            {"port", s.port},
            {"user", s.user},
            {"password", s.hasPassword ? "set" : "none"},
            {"archive_dir", s.archiveDir},
            {"socket_dir", s.socketDir},
            {"database", s.database},
            {"os_user", s.unixUser},
            {"version", s.version},
            {"last_backup_log", s.lastLog},
            {"retention", s.retention.Describe()},
            {"compress", s.compression.empty()
                             ? std::string(BackupCommand::kDefaultCompression) + " (default)"
                             : s.compression},
            {"encrypt", s.encrypt ? "on" : "off"},
            {"repo", s.repository.empty() ? std::string("$PGULO_HOME/repo (default)")
                                          : s.repository},
            {"agent_config",
             HostContext::ConfigDirectory() + "/postgres_" +
                 s.port.substr(s.port.find(':') == std::string::npos ? 0 : s.port.find(':') + 1)}};
}

void RequireDirectory(const std::string& what, const std::string& path) {
    if (path.empty() || path[0] != '/')
        throw CliError::Usage(what + " must be an absolute path");
    if (!FileOps::IsDirectory(path))
        throw CliError::Usage(what + " " + path + " is not a directory");
}

void CheckPort(const std::string& port) {
    const std::string number =
        port.substr(port.rfind(':') == std::string::npos ? 0 : port.rfind(':') + 1);
    bool digits = !number.empty() && number.size() <= 5;
    for (char c : number)
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
    if (!digits || std::stol(number) < 1 || std::stol(number) > 65535)
        throw CliError::Usage("--port must be [HOST:]PORT with a port from 1 to 65535");
}

} // namespace

void InstanceCommand::Add(AddOptions options) {
    InstanceSettings& s = options.settings;
    RequireDirectory("--pgdata", s.pgdata);
    RequireDirectory("--bindir", s.binDir);
    RequireDirectory("--libdir", s.libDir);
    RequireDirectory("--archive-dir", s.archiveDir);
    if (!s.socketDir.empty())
        RequireDirectory("--socket-dir", s.socketDir);
    CheckPort(s.port);
    for (const std::string& option : options.agentOptions) {
        const std::size_t colon = option.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == option.size() ||
            option.find('\n') != std::string::npos)
            throw CliError::Usage("--agent-option takes TOKEN:VALUE, not '" + option + "'");
    }
    const std::string password = PasswordSource::Read(options.passwordStdin);
    const unsigned long long id = InstanceRegistry().Add(s, password);
    if (!options.agentOptions.empty())
        SetAgentOptions(s.port, options.agentOptions);
    std::printf("instance '%s' added (id %llu)\n", s.name.c_str(), id);
}

void InstanceCommand::SetCodec(const CodecOptions& options) {
    if (options.compression.empty() && !options.encrypt)
        throw CliError::Usage("instance set needs --compress, --encrypt or --no-encrypt");
    const InstanceSettings settings = InstanceRegistry().Require(options.name);
    InstanceRegistry registry;
    if (!options.compression.empty()) {
        try {
            // Stored as written back, so that "zstd" reads as the level it stands for.
            registry.SetCompression(settings.id, Compression::Parse(options.compression).Text());
        } catch (const std::invalid_argument& e) {
            throw CliError::Usage(std::string("--compress: ") + e.what());
        }
    }
    if (options.encrypt)
        registry.SetEncryption(settings.id, *options.encrypt);
    const InstanceSettings now = registry.Require(options.name);
    std::printf("instance '%s': backups compressed with %s, %s\n", now.name.c_str(),
                now.compression.empty() ? BackupCommand::kDefaultCompression
                                        : now.compression.c_str(),
                now.encrypt ? "encrypted" : "not encrypted");
}

void InstanceCommand::SetRepository(const std::string& name, const std::string& repository) {
    const InstanceSettings settings = InstanceRegistry().Require(name);
    // A relative directory means the one it names from here, not from wherever a later
    // command runs.
    const std::string stored = repository.empty() || repository.find("://") != std::string::npos
                                   ? repository
                                   : FileOps::Absolute(repository);
    InstanceRegistry().SetRepository(settings.id, stored);
    std::printf("instance '%s': backups go to %s\n", settings.name.c_str(),
                stored.empty() ? "$PGULO_HOME/repo" : stored.c_str());
}

std::string InstanceCommand::RepositoryFor(const std::string& name, const std::string& given) {
    if (!given.empty())
        return given;
    const std::optional<InstanceSettings> settings = InstanceRegistry().Find(name);
    return settings ? settings->repository : std::string();
}

void InstanceCommand::SetAgentOptions(const std::string& port,
                                      const std::vector<std::string>& options) {
    const std::size_t colon = port.rfind(':');
    const std::string file = HostContext::ConfigDirectory() + "/postgres_" +
                             (colon == std::string::npos ? port : port.substr(colon + 1));
    std::vector<std::string> lines;
    if (FileOps::Exists(file)) {
        std::istringstream in(FileOps::ReadWhole(file));
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
    }
    for (const std::string& option : options) {
        const std::string token = option.substr(0, option.find(':') + 1);
        bool replaced = false;
        for (std::string& line : lines) {
            if (line.compare(0, token.size(), token) == 0) {
                line = replaced ? std::string() : option;
                replaced = true;
            }
        }
        if (!replaced)
            lines.push_back(option);
    }
    std::string text;
    for (const std::string& line : lines) {
        if (!line.empty())
            text += line + "\n";
    }
    FileOps::WriteAtomically(file, text, 0600);
}

void InstanceCommand::List(bool json) {
    const auto all = InstanceRegistry().List();
    // "password set" is shown only for a password that opens.
    for (const auto& s : all)
        InstanceRegistry::CheckPassword(s);
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& s : all)
            list.push_back(Describe(s));
        std::printf("%s\n", list.dump(2).c_str());
        return;
    }
    if (all.empty()) {
        std::printf("no instances; add one with 'pgulo instance add'\n");
        return;
    }
    std::printf("%-16s %-4s %-8s %-12s %-40s %s\n", "NAME", "ID", "VERSION", "PORT", "PGDATA",
                "LAST WAL");
    for (const auto& s : all) {
        // The column shows the release number; "15.18 (Debian 15.18-0+deb12u1)" stays in show.
        const std::string release = s.version.substr(0, s.version.find(' '));
        std::printf("%-16s %-4llu %-8s %-12s %-40s %s\n", s.name.c_str(), s.id,
                    release.empty() ? "-" : release.c_str(), s.port.c_str(), s.pgdata.c_str(),
                    s.lastLog.empty() ? "-" : s.lastLog.c_str());
    }
}

void InstanceCommand::Show(const std::string& name, bool json) {
    const InstanceSettings settings = InstanceRegistry().Require(name);
    InstanceRegistry::CheckPassword(settings);
    const nlohmann::json d = Describe(settings);
    if (json) {
        std::printf("%s\n", d.dump(2).c_str());
        return;
    }
    for (auto it = d.begin(); it != d.end(); ++it) {
        const std::string value =
            it.value().is_string() ? it.value().get<std::string>() : it.value().dump();
        std::printf("%-16s %s\n", it.key().c_str(), value.empty() ? "-" : value.c_str());
    }
}

void InstanceCommand::SetRetention(const std::string& name, const RetentionPolicy& change) {
    if (change.Empty())
        throw CliError::Usage("nothing to set; give --retain-full, --retain-days or --retain-dump");
    const InstanceSettings settings = InstanceRegistry().Require(name);
    RetentionPolicy policy = settings.retention;
    for (auto rule : {&RetentionPolicy::retainFull, &RetentionPolicy::retainDays,
                      &RetentionPolicy::retainDump}) {
        if (change.*rule)
            policy.*rule = *(change.*rule) == 0 ? std::nullopt : change.*rule;
    }
    InstanceRegistry().SetRetention(settings.id, policy);
    std::printf("instance '%s': retention policy %s\n", name.c_str(), policy.Describe().c_str());
}
