// The fault table (CliFaultTable.h) on PostgreSQL 14, and its representative rows on 10.
//
// All rows on all four majors take five to seven minutes on a busy two-core machine, more than
// these programs may have, so the table runs in full on 14 (the last major with the exclusive
// backup mode) and 17 (the non-exclusive mode) and in short on 10 and 15: a SIGKILL during the
// copy, two full backups at once, and WAL vanishing under a log backup.
// CliFaultTableRecentTest runs 17 and 15 beside this program.

#include "CliFaultTable.h"

namespace {

INSTANTIATE_TEST_SUITE_P(Faults, CliFaultTable, ::testing::ValuesIn(FaultCases({14}, {10})),
                         MajorRowName<FaultRow>);

} // namespace
