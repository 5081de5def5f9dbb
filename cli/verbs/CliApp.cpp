#include "CliApp.h"

#include "BackupCommand.h"
#include "BrowseCommand.h"
#include "CliError.h"
#include "Compression.h"
#include "DeleteCommand.h"
#include "DemoCommand.h"
#include "ExpireCommand.h"
#include "HostContext.h"
#include "HumanFormat.h"
#include "InstanceCommand.h"
#include "ListCommand.h"
#include "ObjectRestoreCommand.h"
#include "RestoreCommand.h"
#include "ScratchCommand.h"
#include "SignalGuard.h"
#include "Storage.h"
#include "VerifyCommand.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

namespace {

unsigned DefaultJobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

constexpr const char* kRepoHelp =
    "Backup repository: a directory or s3://BUCKET/PREFIX (default $PGULO_HOME/repo)";

struct Common {
    std::string repo;
    Storage::Settings store;
    unsigned jobs = DefaultJobs();
    bool quiet = false;
};

// --repo and how to reach a repository in a bucket. Credentials are never options: they come
// from the environment only, so that no command line shows them.
void AddRepo(CLI::App* app, Common& common) {
    app->add_option("--repo", common.repo, kRepoHelp);
    app->add_option("--s3-endpoint", common.store.endpoint,
                    "Object store URL (default $AWS_ENDPOINT_URL, else the service's own)");
    app->add_option("--s3-region", common.store.region,
                    "Object store region (default $AWS_REGION, else us-east-1)");
    CLI::Option* pathStyle = app->add_flag_callback(
        "--s3-path-style", [&common] { common.store.pathStyle = true; },
        "Address the bucket in the path (default when an endpoint is given)");
    CLI::Option* hostStyle = app->add_flag_callback(
        "--no-s3-path-style", [&common] { common.store.pathStyle = false; },
        "Address the bucket in the host name");
    pathStyle->excludes(hostStyle);
    app->add_option("--s3-part-size", common.store.partSize,
                    "Bytes of each part of a large upload or download (at least 5 MiB; default "
                    "8 MiB)")
        ->transform(CLI::AsSizeValue(false));
}

void AddCommon(CLI::App* app, Common& common, bool withJobs) {
    AddRepo(app, common);
    if (withJobs)
        app->add_option("-j,--jobs", common.jobs, "Files copied in parallel (default: cores)")
            ->check(CLI::Range(1u, 256u));
    app->add_flag("-q,--quiet", common.quiet, "No progress output");
}

constexpr unsigned kMaxRetention = 100000;

// The rules of a retention policy; each is set only when given. least: the smallest value a
// rule takes (0 drops a rule where that means something).
void AddRetentionOptions(CLI::App* app, RetentionPolicy& policy, unsigned least) {
    const std::string drop = least == 0 ? "; 0 drops the rule" : "";
    app->add_option("--retain-full", policy.retainFull,
                    "Keep the N newest complete full backups and their log backups" + drop)
        ->check(CLI::Range(least, kMaxRetention));
    app->add_option("--retain-days", policy.retainDays,
                    "Keep every full backup (and its log backups) needed to restore to any time "
                    "in the last D days" + drop)
        ->check(CLI::Range(least, kMaxRetention));
    app->add_option("--retain-dump", policy.retainDump,
                    "Keep the N newest complete dump backups" + drop)
        ->check(CLI::Range(least, kMaxRetention));
}

const char* const kExpireFooter = R"(
--retain-full N keeps the N newest complete full backups; --retain-days D keeps every full
backup needed to restore to any time in the last D days: those that ended within them and the
newest one that ended before them. With both, a full backup is kept when either rule keeps it;
without either, every full backup is kept. A log backup is kept with the full backup it follows,
up to the next full backup. --retain-dump N keeps the N newest complete dump backups (without
it, every one). Failed and incomplete backups older than the newest complete backup are
removed, as are the leftovers of a removal cut short; a backup that a kept backup needs, or
whose job still runs, never is. Without a rule on the command line the instance's policy
('pgulo instance set NAME --retain-...') applies; rules given replace it for this run.)";

// "[HOST:]PORT" with a port from 1 to 65535.
CLI::Validator PortNumber() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            const std::size_t colon = value.rfind(':');
            const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
            if (port.empty() || port.size() > 5 ||
                port.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(port) < 1 || std::stoul(port) > 65535)
                return "'" + value + "' is not a port number from 1 to 65535";
            return "";
        },
        "[HOST:]PORT");
}

CLI::Validator CompressionText() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            try {
                Compression::Parse(value);
                return "";
            } catch (const std::invalid_argument& e) {
                return e.what();
            }
        },
        "zstd[:LEVEL]|lz4|none");
}

// --encrypt and --no-encrypt: unset when neither is given.
void AddEncryptFlags(CLI::App* app, std::optional<bool>& encrypt, const std::string& what,
                     const std::string& otherwise) {
    CLI::Option* on = app->add_flag_callback(
        "--encrypt", [&encrypt] { encrypt = true; },
        "Encrypt " + what + " (key: $PGULO_HOME/repository.key, or a passphrase in "
        "PGULO_REPO_PASSPHRASE)" + otherwise);
    CLI::Option* off = app->add_flag_callback(
        "--no-encrypt", [&encrypt] { encrypt = false; }, "Do not encrypt " + what + otherwise);
    on->excludes(off);
}

// The command a mistyped first word was meant as is unknowable; say which word was wrong.
bool IsUnknownCommand(const CLI::App& app, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        return false;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->check_name(argv[1]))
            return false;
    }
    return true;
}

class Commands {
public:
    explicit Commands(CLI::App& app) {
        app.require_subcommand(1);
        AddInstance(app);
        AddBackup(app);
        AddList(app);
        AddVerify(app);
        AddRestore(app);
        AddBrowse(app);
        AddDelete(app);
        AddExpire(app);
        AddDemo(app);
        AddScratch(app);
    }
    int Run() {
        Storage::SetDefaults(common_.store);
        return action_ ? action_() : 0;
    }

private:
    void AddInstance(CLI::App& app) {
        CLI::App* instance =
            app.add_subcommand("instance", "Register, show and set up PostgreSQL instances");
        instance->require_subcommand(1);
        CLI::App* add = instance->add_subcommand("add", "Register an instance of this machine");
        add->add_option("name", add_.settings.name, "Instance name")->required();
        add->add_option("--pgdata", add_.settings.pgdata, "Data directory")->required();
        add->add_option("--bindir", add_.settings.binDir, "Directory of the server's programs")
            ->required();
        add->add_option("--libdir", add_.settings.libDir, "Directory of the server's libpq")
            ->required();
        add->add_option("--port", add_.settings.port, "[HOST:]PORT")->required()->check(PortNumber());
        add->add_option("--user", add_.settings.user, "Database superuser")->required();
        add->add_option("--archive-dir", add_.settings.archiveDir,
                        "Directory the server's archive_command copies WAL to")
            ->required();
        add->add_option("--socket-dir", add_.settings.socketDir, "Unix socket directory");
        add->add_option("--database", add_.settings.database, "Database to connect to")
            ->capture_default_str();
        add->add_option("--agent-option", add_.agentOptions,
                        "TOKEN:VALUE for the agent's configuration file (e.g. "
                        "start_backup_immediate:on)")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        add->add_flag("--password-stdin", add_.passwordStdin,
                      "Read the password from standard input (else PGPASSWORD)");
        add->callback([this] {
            action_ = [this] {
                InstanceCommand::Add(add_);
                return 0;
            };
        });

        CLI::App* list = instance->add_subcommand("list", "List the registered instances");
        list->add_flag("--json", json_, "JSON output");
        list->callback([this] {
            action_ = [this] {
                InstanceCommand::List(json_);
                return 0;
            };
        });

        AddInstanceSet(instance);

        CLI::App* show = instance->add_subcommand("show", "Show one instance (never its password)");
        show->add_option("name", name_, "Instance name")->required();
        show->add_flag("--json", json_, "JSON output");
        show->callback([this] {
            action_ = [this] {
                InstanceCommand::Show(name_, json_);
                return 0;
            };
        });
    }

    void AddInstanceSet(CLI::App* instance) {
        CLI::App* set = instance->add_subcommand(
            "set", "Change an instance's backup defaults: compression, encryption and the "
                   "retention policy (applied after each backup)");
        set->add_option("name", codec_.name, "Instance name")->required();
        set->add_option("--compress", codec_.compression,
                        std::string("Compression of its backups (default ") +
                            BackupCommand::kDefaultCompression + ")")
            ->check(CompressionText());
        AddEncryptFlags(set, codec_.encrypt, "its backups", "");
        AddRetentionOptions(set, retention_, 0);
        set->add_option("--repo", defaultRepo_,
                        "Where its backups go when a command is given no --repo: a directory "
                        "or s3://BUCKET/PREFIX (\"\" for $PGULO_HOME/repo)");
        set->callback([this, set] {
            action_ = [this, set] {
                const bool codec = !codec_.compression.empty() || codec_.encrypt;
                const bool repo = set->count("--repo") > 0;
                if (!codec && retention_.Empty() && !repo)
                    throw CliError::Usage("nothing to set; give --compress, --encrypt, "
                                          "--no-encrypt, --retain-full, --retain-days, "
                                          "--retain-dump or --repo");
                if (repo)
                    InstanceCommand::SetRepository(codec_.name, defaultRepo_);
                if (codec)
                    InstanceCommand::SetCodec(codec_);
                if (!retention_.Empty())
                    InstanceCommand::SetRetention(codec_.name, retention_);
                return 0;
            };
        });
    }

    void AddBackup(CLI::App& app) {
        CLI::App* backup = app.add_subcommand("backup", "Back an instance up");
        backup->add_option("name", backup_.instance, "Instance name")->required();
        backup
            ->add_option("-t,--type", backup_.type,
                         "full; diff (what changed since the newest full backup); incr (what "
                         "changed since the newest full, diff or incr backup); log; or dump")
            ->check(CLI::IsMember({"full", "diff", "incr", "log", "dump"}))
            ->capture_default_str();
        backup->add_flag("--delta", backup_.compareChecksums,
                         "diff and incr backups: read every file and compare its checksum with "
                         "the reference's instead of trusting its size and modification time");
        backup->add_option("--database", backup_.databases,
                           "Dump backups: a database to dump (repeatable; default: every one)")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        backup->add_flag("--prune", backup_.prune,
                         "Delete the archived WAL the backup took from the archive directory");
        backup->add_option("--max-rate", rate_, "Copy at most this many bytes a second (k, M, G)");
        backup
            ->add_option("--compress", backup_.compression,
                         std::string("zstd[:LEVEL], lz4 or none (default: the instance's, else ") +
                             BackupCommand::kDefaultCompression + ")")
            ->check(CompressionText());
        AddEncryptFlags(backup, backup_.encrypt, "the stored files",
                        "; default: as 'instance set' says");
        backup->add_flag("--no-resume{false}", backup_.resume,
                         "Full backups: take a new one even when an unfinished one could be "
                         "resumed");
        backup->add_option("--resume-max-age", resumeMaxAge_,
                           "Full backups: resume an unfinished one only if it began within this "
                           "time (s, m, h, d; default 24h)");
        AddCommon(backup, common_, true);
        backup->callback([this] {
            action_ = [this] {
                if (!rate_.empty() && !HumanFormat::ParseRate(rate_, backup_.maxRate))
                    throw CliError::Usage("--max-rate '" + rate_ + "' is not a rate such as 20M");
                if (!resumeMaxAge_.empty() &&
                    !HumanFormat::ParseDuration(resumeMaxAge_, backup_.resumeMaxAgeSeconds))
                    throw CliError::Usage("--resume-max-age '" + resumeMaxAge_ +
                                          "' is not a time such as 24h");
                backup_.jobs = common_.jobs;
                backup_.quiet = common_.quiet;
                HostContext host(InstanceCommand::RepositoryFor(backup_.instance, common_.repo));
                SignalGuard guard;
                BackupCommand(host, backup_).Run();
                return 0;
            };
        });
    }

    void AddList(CLI::App& app) {
        CLI::App* list = app.add_subcommand("list", "List the backups of an instance");
        list->add_option("name", name_, "Instance name")->required();
        list->add_flag("--json", json_, "JSON output");
        AddRepo(list, common_);
        list->callback([this] {
            action_ = [this] {
                HostContext host(InstanceCommand::RepositoryFor(name_, common_.repo));
                ListCommand::Run(host, name_, json_);
                return 0;
            };
        });
    }

    void AddVerify(CLI::App& app) {
        CLI::App* verify =
            app.add_subcommand("verify", "Re-read a backup and check every checksum");
        verify->add_option("name", verify_.instance, "Instance name")->required();
        verify->add_option("id", verify_.id, "Backup id (default: the newest complete backup)");
        verify->add_flag("--all", verify_.all, "Every complete backup of the instance");
        AddCommon(verify, common_, true);
        verify->callback([this] {
            action_ = [this] {
                verify_.jobs = common_.jobs;
                verify_.quiet = common_.quiet;
                HostContext host(InstanceCommand::RepositoryFor(verify_.instance, common_.repo));
                SignalGuard guard;
                return VerifyCommand::Run(host, verify_);
            };
        });
    }

    void AddRestore(CLI::App& app) {
        CLI::App* restore = app.add_subcommand("restore", "Restore an instance to a point in time");
        restore->add_option("name", restore_.instance, "Instance name")->required();
        restore->add_option(
            "--backup", restore_.backupId,
            "Backup to restore (default: the newest full backup before the target)");
        restore->add_option("--target-time", restore_.targetTime,
                            "Replay WAL up to this time ('YYYY-MM-DD HH:MM:SS[.ffffff][+TZ]')");
        restore->add_option("--pgdata", restore_.pgdata,
                            "Data directory to restore into (default: the backed-up one)");
        restore
            ->add_option("--tablespace-map", restore_.linkMap,
                         "OLD=NEW: put a tablespace (or a linked pg_wal) elsewhere")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        restore->add_option("--wal-dir", restore_.walDir,
                            "Where the restored WAL is gathered (default <pgdata>.restore_wal)");
        restore->add_option("--external-dir", restore_.externalDir,
                            "Where files from outside the data directory go when it moves");
        restore->add_flag("--start", restore_.start, "Start the server and wait for recovery");
        restore->add_option("--port", restore_.port, "Port for the started server")
            ->check(PortNumber());
        restore->add_option("--socket-dir", restore_.socketDir,
                            "Socket directory for the started server");
        restore->add_option("--log", restore_.logFile, "Server log (default <pgdata>.restore.log)");
        restore->add_option("--wait", restore_.waitSeconds, "Seconds to wait for recovery")
            ->capture_default_str()
            ->check(CLI::Range(1, 7 * 24 * 3600));
        restore->add_flag("--force", restore_.force, "Replace the contents of non-empty targets");
        restore->add_option("--database", objects_.database,
                            "Object restore: the database the objects come from");
        restore
            ->add_option("--object", objects_.objects,
                         "Object restore: KIND:SCHEMA.NAME (schema, table, view, sequence, "
                         "function with its argument types, type, domain); repeatable")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        restore->add_option("--into-database", objects_.intoDatabase,
                            "Object restore: restore into this database (created when missing)");
        restore->add_option("--scratch-dir", objects_.scratchParent,
                            "Object restore to a time: where the scratch copy of the cluster is "
                            "made (default $PGULO_HOME/scratch)");
        restore->add_flag("--no-verify", restore_.noVerify,
                          "Copy in the kernel without checking the stored checksums");
        AddCommon(restore, common_, true);
        restore->callback([this] {
            action_ = [this] {
                HostContext host(InstanceCommand::RepositoryFor(restore_.instance, common_.repo));
                SignalGuard guard;
                if (IsObjectRestore()) {
                    RunObjectRestore(host);
                    return 0;
                }
                restore_.jobs = common_.jobs;
                restore_.quiet = common_.quiet;
                RestoreCommand(host, restore_).Run();
                return 0;
            };
        });
    }

    bool IsObjectRestore() const {
        return !objects_.objects.empty() || !objects_.database.empty() ||
               !objects_.intoDatabase.empty() || !objects_.scratchParent.empty();
    }

    void RunObjectRestore(HostContext& host) {
        const RestoreCommand::Options& r = restore_;
        if (!r.pgdata.empty() || !r.linkMap.empty() || !r.walDir.empty() ||
            !r.externalDir.empty() || r.start || r.force || !r.port.empty() ||
            !r.socketDir.empty() || !r.logFile.empty() || r.noVerify)
            throw CliError::Usage("--object restores into the running instance; --pgdata, "
                                  "--tablespace-map, --wal-dir, --external-dir, --start, "
                                  "--port, --socket-dir, --log, --force and --no-verify do not "
                                  "apply");
        objects_.instance = r.instance;
        objects_.backupId = r.backupId;
        objects_.targetTime = r.targetTime;
        objects_.jobs = common_.jobs;
        objects_.quiet = common_.quiet;
        ObjectRestoreCommand(host, objects_).Run();
    }

    void AddBrowse(CLI::App& app) {
        CLI::App* browse = app.add_subcommand(
            "browse", "Show the objects of a database, live or as a dump holds them");
        browse->add_option("name", browse_.instance, "Instance name")->required();
        browse->add_option("--database", browse_.database, "Database to browse");
        browse->add_option("--backup", browse_.backupId, "Dump backup to browse (default: live)");
        browse->add_option("--dump-file", browse_.dumpFile, "Custom-format dump file to browse")
            ->excludes("--backup");
        browse->add_flag("--json", browse_.json, "One JSON object a line");
        AddRepo(browse, common_);
        browse->callback([this] {
            action_ = [this] {
                HostContext host(InstanceCommand::RepositoryFor(browse_.instance, common_.repo));
                BrowseCommand::Run(host, browse_);
                return 0;
            };
        });
    }

    void AddDelete(CLI::App& app) {
        CLI::App* remove =
            app.add_subcommand("delete", "Remove one backup that no other backup needs");
        remove->add_option("name", name_, "Instance name")->required();
        remove->add_option("id", id_, "Backup id")->required();
        AddRepo(remove, common_);
        remove->callback([this] {
            action_ = [this] {
                HostContext host(InstanceCommand::RepositoryFor(name_, common_.repo));
                DeleteCommand::Run(host, name_, id_);
                return 0;
            };
        });
    }

    void AddExpire(CLI::App& app) {
        CLI::App* expire = app.add_subcommand(
            "expire", "Remove the backups a retention policy no longer keeps");
        expire->add_option("name", expire_.instance, "Instance name")->required();
        AddRetentionOptions(expire, expire_.policy, 1);
        expire->add_flag("--dry-run", expire_.dryRun, "Show what would be removed; remove nothing");
        AddRepo(expire, common_);
        expire->footer(kExpireFooter);
        expire->callback([this] {
            action_ = [this] {
                HostContext host(InstanceCommand::RepositoryFor(expire_.instance, common_.repo));
                ExpireCommand::Run(host, expire_);
                return 0;
            };
        });
    }

    void AddDemo(CLI::App& app) {
        CLI::App* demo = app.add_subcommand(
            "demo", "Back up and restore a throwaway cluster to a point in time, end to end");
        demo->add_option("--pg-major", demo_.major, "PostgreSQL major version")
            ->capture_default_str()
            ->check(CLI::Range(10, 99));
        demo->add_option("--scale", demo_.scale, "pgbench scale")
            ->capture_default_str()
            ->check(CLI::Range(1, 100000));
        demo->add_flag("--keep", demo_.keep, "Keep the clusters and the host home");
        demo->add_flag("-q,--quiet", demo_.quiet, "No progress output");
        demo->callback([this] { action_ = [this] { return DemoCommand(demo_).Run(); }; });
    }

    void AddScratch(CLI::App& app) {
        CLI::App* scratch =
            app.add_subcommand("scratch", "Start a scratch copy of an instance as of a time");
        scratch->group(""); // for debugging and tests; not in the help
        ScratchServer::Options& s = scratch_.server;
        scratch->add_option("name", s.instance, "Instance name")->required();
        scratch->add_option("--target-time", s.targetTime, "Replay WAL up to this time");
        scratch->add_option("--scratch-dir", s.scratchParent,
                            "Where the copy is made (default $PGULO_HOME/scratch)");
        scratch->add_option("--setting", s.serverSettings, "name=value for the server")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        scratch->add_option("--dump-database", scratch_.dumpDatabase, "Dump this database");
        scratch->add_option("--pg-dump", scratch_.pgDump, "The pg_dump program to dump with");
        scratch->add_option("--dump-file", scratch_.dumpFile, "Where the dump goes");
        scratch->add_flag("--hold", scratch_.hold, "Keep the copy running until Ctrl-C");
        AddCommon(scratch, common_, true);
        scratch->callback([this] {
            action_ = [this] {
                scratch_.server.jobs = common_.jobs;
                scratch_.server.quiet = common_.quiet;
                HostContext host(
                    InstanceCommand::RepositoryFor(scratch_.server.instance, common_.repo));
                return ScratchCommand::Run(host, scratch_);
            };
        });
    }

    std::function<int()> action_;
    Common common_;
    bool json_ = false;
    std::string name_;
    std::string id_;
    std::string rate_;
    std::string resumeMaxAge_;
    InstanceCommand::AddOptions add_;
    RetentionPolicy retention_;
    ExpireCommand::Options expire_;
    InstanceCommand::CodecOptions codec_;
    std::string defaultRepo_;
    BackupCommand::Options backup_;
    VerifyCommand::Options verify_;
    RestoreCommand::Options restore_;
    ObjectRestoreCommand::Options objects_;
    BrowseCommand::Options browse_;
    DemoCommand::Options demo_;
    ScratchCommand::Options scratch_;
};

} // namespace

int CliApp::Main(int argc, char** argv) {
    // A pipe reader that goes away must not kill us in the middle of a copy.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app("pgulo: file-level PostgreSQL backups with point-in-time restore", "pgulo");
    app.set_version_flag("--version", std::string("pgulo ") + PGULO_VERSION);
    Commands commands(app);
    if (IsUnknownCommand(app, argc, argv)) {
        std::fprintf(stderr, "pgulo: unknown command '%s'; see 'pgulo --help'\n", argv[1]);
        return CliError::kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return CliError::kUsage;
    }
    try {
        return commands.Run();
    } catch (const CliError& e) {
        std::fprintf(stderr, "pgulo: %s\n", e.what());
        return e.exitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: %s\n", e.what());
        return CliError::kFailure;
    }
}
