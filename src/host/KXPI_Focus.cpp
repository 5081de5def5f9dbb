#include "pgulo/host/KXPI_Focus.h"

#include "pgulo/host/EvDebug.h"

std::string KXPI_Focus::getFocusClientName(bool /*local*/) {
    return EvDebug::getClientName();
}
