// The issue handlers of the append point: append, advance, open and close.

#include "driver/pipeline/issue_internal.h"
#include "driver/pipeline/pipeline_internal.h"

namespace {

int not_built(nand_dev* channel, velkor_request* request) {
    kpav_print(KPAV_CLASS_ERROR, "%s: %s requests cannot be issued yet.\n", channel_name(channel),
               request_type_name(request->type));
    return -KPAV_EOPNOTSUPP;
}

}  // namespace

int issue_append(nand_dev* channel, velkor_request* request) {
    return not_built(channel, request);
}

int issue_advance_append_point(nand_dev* channel, velkor_request* request) {
    return not_built(channel, request);
}

int issue_open_append_point(nand_dev* channel, velkor_request* request) {
    return not_built(channel, request);
}

int issue_close_append_point(nand_dev* channel, velkor_request* request) {
    return not_built(channel, request);
}
