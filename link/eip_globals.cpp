#include "link/eip_globals.h"

kestrel::strata_sdk::Link* g_link = nullptr;
