#pragma once

// Symbols of the agent that the backup host resolves; everything else stays hidden.
#define PGULO_API __attribute__((visibility("default")))
