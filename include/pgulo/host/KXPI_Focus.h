#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

class PGULO_HOST_API KXPI_Focus {
public:
    // The local client's name (the job context's client, see EvDebug).
    static std::string getFocusClientName(bool local);
};
