#pragma once

// Moved to common/eip_log.h; kept only until every includer has switched.
#include "common/eip_log.h"
