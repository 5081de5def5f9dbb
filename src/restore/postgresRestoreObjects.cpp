#include "pgulo/postgresRestoreObjects.h"

#include "common/PGGuard.h"
#include "pgulo/PGText.h"
#include "pgulo/ExecutePostgre.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGVersion.h"
#include "pgulo/Parse_selectedItems.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/libpqInterface.h"
#include "restore/PostgresCatalogQueries.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <utility>

static EvDebug g_log(nullptr);

namespace {

const char* const kInitLabel = "postgresRestoreObjects::init";
const char* const kGetListLabel = "postgresRestoreObjects::getObjectsList";
const char* const kSetListFileLabel = "postgresRestoreObjects::setObjectsListfile";
const char* const kAddLabel = "postgresRestoreObjects::addObjects";
const char* const kSetListLabel = "postgresRestoreObjects::setObjectsList";
const char* const kGetEditLabel = "postgresRestoreObjects::getEditObjectListfile";
const char* const kRestoreLabel = "postgresRestoreObjects::RestoreObjects";
const char* const kExecuteLabel = "postgresRestoreObjects::execute";

const char* const kListFileName = "ObjectsList";
const char* const kEditListFileName = "ObjectsListEdit";
const char* const kVersionMarker = "database version:";

// Entry kinds of a pg_restore list, longer ones before the shorter ones they contain.
const char* const kEntryKinds[] = {
    "ACL ",           "COMMENT ",
    "TABLE DATA ",    "TABLE ",
    "FK CONSTRAINT ", "CONSTRAINT ",
    "DOMAIN ",        "TYPE ",
    "SCHEMA ",        "PROCEDURAL LANGUAGE ",
    "FUNCTION ",      "SEQUENCE OWNED BY ",
    "SEQUENCE SET ",  "SEQUENCE ",
    "VIEW ",          "DEFAULT ",
    "INDEX ",         "RULE ",
    "TRIGGER ",
};

using PGText::StartsWith;

// A value a program takes as a positional argument: one that starts with "-" would be read
// as an option, so the options end before it.
std::string Positional(const std::string& value) {
    return (StartsWith(value, "-") ? "-- " : "") + PGCommon::ShellQuote(value);
}

// pg_restore reads a --dbname holding "=" or a URI prefix as a whole connection string; such
// a name goes in as the dbname keyword of one, quoted by libpq's rules.
std::string DbnameValue(const std::string& database) {
    if (database.find('=') == std::string::npos && !StartsWith(database, "postgresql://") &&
        !StartsWith(database, "postgres://"))
        return database;
    return "dbname=" + libpqInterface::QuoteConnectionValue(database);
}

// The words after an entry kind: each ends at a blank, at most four, and a word that ends
// the line is not taken.
std::vector<std::string> WordsAfter(const std::string& rest) {
    std::vector<std::string> words;
    std::string::size_type start = 0;
    while (words.size() < 4) {
        std::string::size_type blank = rest.find(' ', start);
        if (blank == std::string::npos)
            break;
        words.push_back(rest.substr(start, blank - start));
        g_log.DebugLvl(kSetListLabel, 6, " [%s]", words.back().c_str());
        start = blank + 1;
    }
    return words;
}

// Lists print names as they are, blanks included, so an entry belongs to an object when its
// text after the kind begins with the object's schema and name, each followed by a blank
// (for functions: the name followed by its argument list).
bool EntryIs(const std::string& rest, const std::string& schema, const std::string& name,
             const char* after) {
    return StartsWith(rest, schema + " " + name + after);
}

} // namespace

postgresRestoreObjects::postgresRestoreObjects() = default;
postgresRestoreObjects::~postgresRestoreObjects() = default;

int postgresRestoreObjects::init(std::string libDir, std::string password, std::string binDir,
                                 std::string user, std::string host, std::string port,
                                 std::string database, std::string dumpFile, std::string workDir,
                                 std::string version) {
    libDir_m = std::move(libDir);
    password_m = std::move(password);
    binDir_m = std::move(binDir);
    user_m = std::move(user);
    host_m = std::move(host);
    port_m = std::move(port);
    database_m = std::move(database);
    dumpFile_m = std::move(dumpFile);
    workDir_m = std::move(workDir);
    version_m = std::move(version);
    listFile_m = workDir_m + "/" + kListFileName;
    editListFile_m = workDir_m + "/" + kEditListFileName;
    g_log.DebugLvl(kInitLabel, 2, "database = %s dumpFile = %s workDir = %s version = %s",
                   database_m.c_str(), dumpFile_m.c_str(), workDir_m.c_str(), version_m.c_str());
    return 0;
}

int postgresRestoreObjects::getObjectsList() {
    return PGGuard::OrReturn(g_log, kGetListLabel, -1, [&] {
        g_log.DebugLvl(kGetListLabel, 1, " getObjectsList");
        const std::string command =
            PGCommon::ShellQuote(binDir_m + "/pg_restore") + " -U " + PGCommon::ShellQuote(user_m) +
            " -Fc -p " + PGCommon::ShellQuote(port_m) + " --list " + Positional(dumpFile_m) +
            " > " + PGCommon::ShellQuote(listFile_m);
        std::string out, err;
        if (KxProcess::system(command, &out, &err) != 0) {
            g_log.DebugLvl(kGetListLabel, 1, " command = %s failed", command.c_str());
            g_log.DebugLvl(kGetListLabel, 1, "[%s] failed command %s", out.c_str(), err.c_str());
            return -1;
        }
        return 0;
    });
}

int postgresRestoreObjects::setObjectsListfile(std::string path) {
    listFile_m = std::move(path);
    if (::access(listFile_m.c_str(), F_OK) == 0) {
        g_log.DebugLvl(kSetListFileLabel, 1, "ObjectListFile = %s", listFile_m.c_str());
        return 0;
    }
    g_log.DebugLvl(kSetListFileLabel, 1, "Object List file = %s does not exists",
                   listFile_m.c_str());
    return -1;
}

int postgresRestoreObjects::addObjects(object_type object) {
    g_log.DebugLvl(kAddLabel, 1, "str = %s", object.name.c_str());
    objectsToRestore_m.push_back(std::move(object));
    return 0;
}

int postgresRestoreObjects::getEditObjectListfile(std::string& path) {
    g_log.DebugLvl(kGetEditLabel, 1, "NeededObjectListfile = %s", editListFile_m.c_str());
    path = editListFile_m;
    return 0;
}

int postgresRestoreObjects::SchemaInTarget(const std::string& schema) {
    ExecutePostgre exepg;
    if (exepg.init(libDir_m, binDir_m, user_m, password_m, database_m, host_m, port_m) != 0) {
        g_log.DebugLvl(kSetListLabel, 1,
                       "exepg.init failed this database may not be existing, Not a fatal error");
        return 0;
    }
    const std::string query = PostgresCatalogQueries::Schemas(version_m);
    if (exepg.postgre_Query(query) == -1) {
        g_log.DebugLvl(kSetListLabel, 1, "postgre_exe failed (%s)", query.c_str());
        return -1;
    }
    std::vector<std::string> names;
    exepg.getCol(1, names);
    for (size_t i = 1; i < names.size(); ++i)
        if (names[i] == schema)
            return 1;
    return 0;
}

int postgresRestoreObjects::setObjectsList() {
    return PGGuard::OrReturn(g_log, kSetListLabel, -1, [&] {
        g_log.DebugLvl(kSetListLabel, 2, " setObjectsList");
        std::ofstream edited(editListFile_m, std::ios::out | std::ios::trunc);
        if (!edited) {
            g_log.DebugLvl(kSetListLabel, 1, " failed to open the file = %s",
                           editListFile_m.c_str());
            return -1;
        }
        std::ifstream list(listFile_m);
        if (!list) {
            g_log.DebugLvl(kSetListLabel, 1, " failed to open the file = %s", listFile_m.c_str());
            return -1;
        }

        // A list that names no server version is taken for an old dump.
        bool oldDump = true;
        std::string line;
        while (std::getline(list, line)) {
            g_log.DebugLvl(kSetListLabel, 6, " Read [%s]", line.c_str());
            if (StartsWith(line, ";")) {
                g_log.DebugLvl(kSetListLabel, 6, " we dont need these line so skip this[%s]",
                               line.c_str());
                edited << line << '\n';
                std::string::size_type marker = line.find(kVersionMarker);
                if (marker != std::string::npos)
                    oldDump = PGVersionNumFromText(line.substr(
                                  marker + std::char_traits<char>::length(kVersionMarker))) <
                              PG_VERSION_9_0;
                continue;
            }

            g_log.DebugLvl(kSetListLabel, 6, " we have to get the object info");
            const char* kind = nullptr;
            std::string::size_type kindAt = std::string::npos;
            for (const char* candidate : kEntryKinds) {
                g_log.DebugLvl(kSetListLabel, 6, " listTypeItr = %s", candidate);
                kindAt = line.find(candidate);
                if (kindAt != std::string::npos) {
                    kind = candidate;
                    break;
                }
            }
            const bool keptLanguage = kind != nullptr &&
                                      std::string(kind) == "PROCEDURAL LANGUAGE " &&
                                      LangInstallFlag == 1 && oldDump;
            if (kind == nullptr || keptLanguage) {
                if (keptLanguage) {
                    // A database created afresh from a pre-9.0 dump has no procedural
                    // languages; they come from the dump.
                    edited << line << '\n';
                } else {
                    for (const std::string& word : WordsAfter(line + " "))
                        g_log.DebugLvl(kSetListLabel, 5, " extracted = [%s]", word.c_str());
                }
                g_log.DebugLvl(kSetListLabel, 1, " line = [%s]", line.c_str());
                g_log.DebugLvl(kSetListLabel, 1, " We dont undertand this line");
                continue;
            }

            const std::string rest = line.substr(kindAt + std::char_traits<char>::length(kind));
            std::vector<std::string> words = WordsAfter(rest);
            for (const std::string& word : words)
                g_log.DebugLvl(kSetListLabel, 5, " extracted = [%s]", word.c_str());
            words.resize(4);
            DBObject entry{kind, words[1], words[0], words[2], line};
            g_log.DebugLvl(kSetListLabel, 5, "Type = [%s], Name = [%s]", entry.type.c_str(),
                           entry.name.c_str());

            int written = 0;
            for (const object_type& object : objectsToRestore_m) {
                g_log.DebugLvl(kSetListLabel, 3, "ObjectsToRestore = [%s] [%s]",
                               object.name.c_str(), object.type.c_str());
                if (entry.type == "FUNCTION " && EntryIs(rest, object.schema, object.name, "(")) {
                    g_log.DebugLvl(kSetListLabel, 1, "will shall try restore these objects = %s %s",
                                   entry.name.c_str(), line.c_str());
                    edited << line << '\n';
                    ++written;
                }
                if (entry.type == "SCHEMA " && object.name != "public" &&
                    EntryIs(rest, entry.schema, object.name, " ")) {
                    const int present = SchemaInTarget(object.name);
                    if (present < 0)
                        return -1;
                    if (present == 1) {
                        g_log.DebugLvl(kSetListLabel, 1,
                                       "This SChema is present int he DB, so dont add this line");
                    } else {
                        g_log.DebugLvl(kSetListLabel, 1,
                                       "This SChema is not present int he DB, will shall try "
                                       "restore these objects = %s %s",
                                       entry.name.c_str(), line.c_str());
                        edited << line << '\n';
                        ++written;
                    }
                }
                if (EntryIs(rest, object.schema, object.name, " ")) {
                    g_log.DebugLvl(kSetListLabel, 1, "will shall try restore these objects = %s %s",
                                   entry.name.c_str(), line.c_str());
                    edited << line << '\n';
                    ++written;
                }
            }
            g_log.DebugLvl(kSetListLabel, 4,
                           " flag_type_found = %d, So dont add Now[We have parsed it after "
                           "selecting we have to add]",
                           written);
            listObjects_m.push_back(std::move(entry));
        }
        list.close();

        for (const DBObject& entry : listObjects_m) {
            g_log.DebugLvl(kSetListLabel, 5,
                           "All the Objects Info in the ObjectList [%s] [%s] "
                           "[%s] [%s]",
                           entry.type.c_str(), entry.name.c_str(), entry.schema.c_str(),
                           entry.owner.c_str());
            for (const object_type& object : objectsToRestore_m)
                g_log.DebugLvl(kSetListLabel, 3, "ObjectsToRestore = [%s] [%s]",
                               object.name.c_str(), object.type.c_str());
        }
        edited.close();
        if (!edited) {
            // A list cut short would restore less than was chosen and still report success.
            g_log.Error(kSetListLabel, "eRRoR -- failed to write the file = %s",
                        editListFile_m.c_str());
            return -1;
        }
        objectsToRestore_m.clear();
        listObjects_m.clear();
        return 0;
    });
}

void postgresRestoreObjects::ExportPassword() const {
    if (!password_m.empty())
        ::setenv("PGPASSWORD", password_m.c_str(), 1);
}

bool postgresRestoreObjects::TargetDatabaseExists() {
    ExecutePostgre exepg;
    return exepg.init(libDir_m, binDir_m, user_m, password_m, database_m, host_m, port_m) == 0;
}

void postgresRestoreObjects::RunNotFatal(const char* label, const std::string& command) {
    std::string out, err;
    if (KxProcess::system(command, &out, &err) != 0) {
        g_log.DebugLvl(label, 1, " command = %s failed", command.c_str());
        g_log.DebugLvl(label, 1, " %s is not fatal error", command.c_str());
        g_log.DebugLvl(label, 1, "[%s] failed command %s", out.c_str(), err.c_str());
    }
}

int postgresRestoreObjects::RestoreObjects() {
    return PGGuard::OrReturn(g_log, kRestoreLabel, -1, [&] {
        g_log.DebugLvl(kRestoreLabel, 1, "RestoreObjects");
        ExportPassword();

        // The target may hold far more than the chosen objects: it is created only when it
        // is not there, and never dropped.
        if (TargetDatabaseExists()) {
            g_log.DebugLvl(kRestoreLabel, 1, "database %s exists, restoring into it",
                           database_m.c_str());
        } else {
            RunNotFatal(kRestoreLabel, PGCommon::ShellQuote(binDir_m + "/createdb") + " -U " +
                                           PGCommon::ShellQuote(user_m) + " -p " +
                                           PGCommon::ShellQuote(port_m) + " " +
                                           Positional(database_m));
        }

        std::string out, err;
        const std::string cat = "cat " + Positional(editListFile_m);
        if (KxProcess::system(cat, &out, &err) != 0) {
            g_log.DebugLvl(kRestoreLabel, 1, "[%s] failed command %s", out.c_str(), err.c_str());
            return -1;
        }
        g_log.DebugLvl(kRestoreLabel, 1, "NeededObjectListfile out = %s", out.c_str());

        const std::string restore = PGCommon::ShellQuote(binDir_m + "/pg_restore") + " -U " +
                                    PGCommon::ShellQuote(user_m) + " -Fc -p " +
                                    PGCommon::ShellQuote(port_m) +
                                    " --use-list=" + PGCommon::ShellQuote(editListFile_m) +
                                    " --dbname=" + PGCommon::ShellQuote(DbnameValue(database_m)) +
                                    " " + Positional(dumpFile_m);
        if (KxProcess::system(restore, &out, &err) != 0) {
            g_log.DebugLvl(kRestoreLabel, 1, " command = %s failed", restore.c_str());
            g_log.DebugLvl(kRestoreLabel, 1, "[%s] failed command %s", out.c_str(), err.c_str());
            return -1;
        }
        return 0;
    });
}

int postgresRestoreObjects::execute(std::string command) {
    g_log.DebugLvl(kExecuteLabel, 1, " execute %s", command.c_str());
    std::string out, err;
    if (KxProcess::system(command, &out, &err) != 0) {
        g_log.DebugLvl(kExecuteLabel, 1, "[%s] failed command %s", out.c_str(), err.c_str());
        return -1;
    }
    return 0;
}
