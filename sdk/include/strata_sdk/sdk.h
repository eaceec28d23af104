#pragma once
// The broker link SDK, everything in one include.

#include "strata_sdk/action.h"
#include "strata_sdk/broker.h"
#include "strata_sdk/error.h"
#include "strata_sdk/json.h"
#include "strata_sdk/link.h"
#include "strata_sdk/link_options.h"
#include "strata_sdk/logging.h"
#include "strata_sdk/metrics.h"
#include "strata_sdk/node.h"
#include "strata_sdk/node_path.h"
#include "strata_sdk/responder.h"
#include "strata_sdk/types.h"
#include "strata_sdk/variant.h"
