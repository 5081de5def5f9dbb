// The fault table (CliFaultTable.h) on PostgreSQL 17, and its representative rows on 15; see
// CliFaultTableTest for why the table is split so.

#include "CliFaultTable.h"

namespace {

INSTANTIATE_TEST_SUITE_P(Faults, CliFaultTable, ::testing::ValuesIn(FaultCases({17}, {15})),
                         MajorRowName<FaultRow>);

} // namespace
