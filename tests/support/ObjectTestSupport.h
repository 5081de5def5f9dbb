#pragma once

#include "PgCluster.h"

#include <string>

// Shared by the object browse and restore tests: a fresh host home, one running cluster per
// major, and the "shop" database whose catalogue the tests read.
namespace pgulo::test {

// The program's cluster of the major for object tests (no archiving), with PGULO_HOME set
// to a private host home so that the debug log goes somewhere of its own.
PgCluster& ObjectCluster(int major);

std::string ServerVersion(const PgCluster& cluster);

// Two user schemas beside public: app, with one of everything the catalogue lists (and an
// aggregate and array types that it must not list), and zeta with a single table.
const char* ShopSchemaSql();

} // namespace pgulo::test
