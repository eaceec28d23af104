#pragma once

// What the node tree (EipNode), the action handlers (EipAction) and the restore (EipLink) work
// on. main owns the broker link and the PLC registry and hands both in; tests and benchmarks
// build their own. The context must outlive every SDK callback bound to it: the link is
// stopped before the context goes.
//
// Threads: the references are set once at construction and only read afterwards; the registry
// and the template cache guard themselves.

#include "device/eip_manager.h"
#include "family/logix_browse.h"
#include "strata_sdk/link.h"

struct LinkContext {
    LinkContext(kestrel::strata_sdk::Link& link, EipManager& registry)
        : link(link), registry(registry) {}
    LinkContext(const LinkContext&) = delete;
    LinkContext& operator=(const LinkContext&) = delete;

    kestrel::strata_sdk::Link& link;  // the broker link: every node operation reaches it
    EipManager& registry;             // the PLC devices, by alias
    LogixTemplateCache templates;     // structure templates read by browses, per PLC alias
};
