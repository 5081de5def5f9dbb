#pragma once

#include "pgulo/PGCommon.h"
