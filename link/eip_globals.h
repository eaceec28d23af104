#pragma once

// The broker link of the process. Set once by main before the link runs and only read
// afterwards; null in programs (tests) that have not set it. Every node operation fetches the
// responder from it at each call.

#include "strata_sdk/link.h"

extern kestrel::strata_sdk::Link* g_link;
