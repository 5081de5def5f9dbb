#pragma once

// Symbols of the host services library visible to the agent and to host programs.
#define PGULO_HOST_API __attribute__((visibility("default")))

#define PGULO_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
