#pragma once

// A loopback port the kernel just handed out, so that no running server holds it. Throws
// CliError when the kernel hands out none.
int FreePort();
