#pragma once

#include <string>
#include <vector>

namespace pgulo::test {

// Where the PostgreSQL server binaries for each major live on a test machine. Major 15 comes
// from Debian; the others are relocatable builds that scripts/setup.sh unpacks into a cache.
// Client tools (psql, pg_dump, pg_basebackup, ...) always come from Debian's 15, which can talk
// to every server major we test.
class PgInstall {
public:
    static constexpr int kDebianMajor = 15;

    // $PGULO_PG_CACHE, or /var/cache/pgulo/pg.
    static std::string cacheDir();

    // Directory holding postgres, initdb and pg_ctl for the major (whether or not it exists).
    static std::string binDir(int major);
    // Directory holding that major's libpq.so.5.
    static std::string libDir(int major);

    // True when the server binaries and libpq.so.5 of the major are present.
    static bool available(int major);

    // True when the major is installed and not excluded by $PGULO_TEST_MAJORS.
    static bool selected(int major);

    // Every major the test suite knows about, installed or not, ascending.
    static std::vector<int> knownMajors();
    // The known majors that are installed, ascending. $PGULO_TEST_MAJORS (space or comma
    // separated) narrows the set for quicker local runs.
    static std::vector<int> testMajors();

    // Debian's client tool directory, and one tool in it (e.g. clientTool("psql")).
    static std::string clientBinDir();
    static std::string clientTool(const std::string& name);
};

} // namespace pgulo::test
