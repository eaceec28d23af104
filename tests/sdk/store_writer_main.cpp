// Test helper: writes stored nodes as fast as it can until it is killed.
// Each round creates /n<i> with a child "c" in one create_node (one transaction)
// and then updates /n<i>. Usage: sdk_store_writer DATA_DIR
#include <cstdio>
#include <future>

#include "strata_sdk/sdk.h"

using namespace kestrel::strata_sdk;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sdk_store_writer DATA_DIR\n");
        return 2;
    }
    LinkOptions options("Tagbridge");
    options.set_data_dir(argv[1]);
    Link link(std::move(options), LinkType::Responder, "1.4.6");
    if (!link.non_blocking_run()) {
        return 1;
    }
    auto responder = link.responder();
    for (uint64_t i = 0;; ++i) {
        std::string name = "n" + std::to_string(i);
        NodeBuilder b(NodePath("/"));
        b.make_node(name, "node")
            .serializable(2)
            .config("$i", i)
            .config("$payload", std::string(200, 'x'));
        b.make_child("c", "node").serializable(2).config("$parent", name);
        responder->create_node(b);
        responder->update_node(NodeUpdater(NodePath("/") / name).config("$updated", true));
    }
}
