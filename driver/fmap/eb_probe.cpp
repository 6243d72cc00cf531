#include "driver/fmap/eb_probe.h"

#include "driver/fmap/lrbtree.h"
#include "driver/platform/kassert.h"

namespace {

struct eb_question {
    USHORT eb;
    ULONG span;
};

// Stops the walk quietly (-11) at the first run that reaches into the block.
int run_in_eb(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec*) {
    auto* q = (eb_question*)context;
    if (gpkt < 16 || range->length == 0) {
        return 0;
    }
    ULONG64 first = (gpkt - 16) / q->span;
    ULONG64 last = (gpkt - 16 + range->length - 1) / q->span;
    return first <= q->eb && q->eb <= last ? -11 : 0;
}

int gap(lrbtree_range*, void*) {
    return 0;
}

}  // namespace

int lrbtree_range_in_eb(lrbtree* map, ULONG64 lba, ULONG64 count, USHORT eb, ULONG span) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (count == 0 || span == 0) {
        return 0;
    }
    eb_question question{eb, span};
    const lrbtree_enum_ops ops{run_in_eb, gap, nullptr};
    lrbtree_range range{};
    int rc = lrbtree_enumerate(map, &range, &ops, &question, 0, lba, lba + count);
    if (rc == -11) {
        return 1;
    }
    return rc < 0 ? rc : 0;
}
