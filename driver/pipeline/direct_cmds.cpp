// Direct hardware commands: bank command port writes with their marker, the direct read-back, the
// sequence routines, bank writes, bank configuration and part features, and the binary-command
// requests with their issue handler.

#include "driver/pipeline/direct_cmds.h"

#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/pipeline_internal.h"

namespace {

constexpr ULONG max_banks = 8;
constexpr ULONG first_wait_us = 1000;
constexpr ULONG step_us = 10;
constexpr ULONG readback_steps = (DIRECT_WAIT_US - first_wait_us) / step_us;  // 149900
constexpr ULONG64 room_wait_us = 500000;
constexpr ULONG room_retry_us = 1000;
constexpr int bank_config_failed = -4096;
constexpr ULONG port_end = 0xFFFFFFFFu;  // ends a binary command's sequence

// Sequence codes.
constexpr ULONG code_bank_config = 3;
constexpr ULONG code_set_feature = 4;
constexpr ULONG code_get_feature = 9;
constexpr ULONG code_set_port_word = 10;
constexpr ULONG code_read_port = 11;
constexpr ULONG code_part_features = 17;
constexpr ULONG code_part_features_b = 18;
constexpr ULONG code_part_mode = 19;
constexpr ULONG code_parameter_page = 21;
constexpr ULONG code_marker_read = 25;
constexpr ULONG code_identification = 26;
constexpr ULONG code_mgmt_read = 29;
constexpr ULONG code_mgmt_select = 30;
constexpr ULONG code_mgmt_set = 31;
constexpr ULONG code_mgmt_set_wide = 32;

constexpr ULONG feature_address = 146;
constexpr ULONG feature_value = 0;
constexpr ULONG feature_words = 32;
constexpr ULONG feature_group_bytes = 32;
constexpr ULONG feature_groups = 4;
constexpr ULONG parameter_words = 16;
constexpr ULONG identification_words = 8;
constexpr ULONG max_sequence_items = 6;  // code, four arguments, end

// Binary commands: the status tag goes to 400 before a trigger step.
constexpr ULONG binary_items_max = 4;
static_assert(binary_items_max * sizeof(hw_reg_item) <= REQUEST_INLINE_BYTES);
static_assert(offsetof(velkor_request, inline_data) % alignof(hw_reg_item) == 0);

ULONG port_register(ULONG bank) {
    return BAR_NAND + NAND_BANK_PORT + 32 * (bank & (max_banks - 1));
}

hw_reg_item port_item(ULONG bank, ULONG value) {
    return hw_reg_item{value, port_register(bank), 1};
}

hw_reg_item trigger_item(ULONG bank) {
    return hw_reg_item{(bank & (max_banks - 1)) << 28 | DIRECT_TRIGGER_STEP, BAR_NAND + NAND_STEP, 0};
}

bool is_trigger(const hw_reg_item& item) {
    return item.split == 0 && item.reg == BAR_NAND + NAND_STEP && (item.value & 0x0FFFFFFFu) == DIRECT_TRIGGER_STEP;
}

ULONG planes_of(const nand_dev* channel) {
    return channel->geometry.planes != 0 ? channel->geometry.planes : 1;
}

void drain_ring0(nand_dev* channel) {
    drain_completion_queue(&channel->cqs[0]);
}

// Waits 1 ms, then `steps` stalls of 10 us, draining ring 0 after each, until `seen`.
template <typename Seen>
bool poll_ring0(nand_dev* channel, ULONG steps, Seen seen) {
    kpav_udelay(first_wait_us);
    drain_ring0(channel);
    if (seen()) {
        return true;
    }
    for (ULONG i = 0; i < steps; i++) {
        KeStallExecutionProcessor(step_us);
        drain_ring0(channel);
        if (seen()) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool direct_lock_with_room(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 start = pipe_now_us();
    kpav_spin_lock(&channel->issue_lock);
    for (;;) {
        if (channel_failed(channel) || channel->ring.entries == nullptr) {
            break;
        }
        if (!channel_credits_ok(channel)) {
            hw_cmds_apply_credit_word(channel, hw_cmds_credit_word(channel));
        }
        if (channel_credits_ok(channel)) {
            return true;
        }
        if (pipe_now_us() - start >= room_wait_us) {
            break;
        }
        kpav_spin_unlock(&channel->issue_lock);
        kpav_udelay(room_retry_us);
        kpav_spin_lock(&channel->issue_lock);
    }
    kpav_spin_unlock(&channel->issue_lock);
    return false;
}

namespace {

// One sequence to `bank` (its words, then 239) and its read-back into `out`, at most `capacity`
// words: 0 when the read-back came and fitted, else 1.
int run_sequence(nand_dev* channel, ULONG bank, const ULONG* words, ULONG count, ULONG* out, ULONG capacity) {
    hw_reg_item items[max_sequence_items];
    kpav_assert(count < max_sequence_items);
    for (ULONG i = 0; i < count; i++) {
        items[i] = port_item(bank, words[i]);
    }
    items[count] = port_item(bank, DIRECT_SEQUENCE_END);
    direct_readback_arm(channel, out, capacity);
    if (direct_command(channel, bank, direct_all_pads(channel), items, count + 1) != 0) {
        InterlockedCompareExchange(&channel->direct.pending, 0, 1);
        return 1;
    }
    if (direct_readback_wait(channel) != 0) {
        return 1;
    }
    return ReadNoFence(&channel->direct.status) == 0 ? 0 : 1;
}

bool pad_in_use(const nand_dev* channel, ULONG bit) {
    return bit < NAND_PAD_MAP_WORDS * 32 && (channel->geometry.pad_mask[bit / 32] >> (bit % 32) & 1) != 0;
}

// A binary-command request taken from the pool, with its items copied into the inline area.
velkor_request* build_binary(nand_dev* channel, const hw_reg_item* items, ULONG count, ULONG* readback,
                             ULONG readback_words) {
    tavrin_ioctx* context = request_alloc(channel, REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to allocate ioctx.\n", channel_name(channel));
        return nullptr;
    }
    kpav_assert(count <= binary_items_max);
    velkor_request* request = context->request;
    request->type = REQUEST_BINARY_COMMAND;
    request->flags |= REQ_CALLER_FREES | REQ_WAITER;
    auto* inline_items = (hw_reg_item*)request->inline_data;
    for (ULONG i = 0; i < count; i++) {
        inline_items[i] = items[i];
    }
    auto& binary = request->params.binary;
    binary.count = 1;
    binary.items = inline_items;
    binary.item_count = count;
    binary.readback = readback;
    binary.readback_words = readback_words;
    return request;
}

}  // namespace

void hw_cmds_post_sync(nand_dev* channel, ULONG bank, ULONG code) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedExchange(&channel->cqs[0].marker_seen, 0);
    hw_cmds_append_nand(channel, nand_tag_word(0, 0, TAG_MARKER), NAND_STATUS_TAG);
    hw_cmds_append_nand(channel, (bank & (max_banks - 1)) << 28 | (code & 15) | STEP_STATUS, NAND_STEP);
    hw_cmds_announce(channel);
}

int hw_cmds_wait_sync(nand_dev* channel, ULONG timeout_us) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG steps = timeout_us > first_wait_us ? (timeout_us - first_wait_us) / step_us : 0;
    volatile LONG* seen = &channel->cqs[0].marker_seen;
    return poll_ring0(channel, steps, [seen] { return ReadAcquire(seen) != 0; }) ? 0 : -1;
}

int direct_command(nand_dev* channel, ULONG bank, ULONG lane_mask, const hw_reg_item* items, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!direct_lock_with_room(channel)) {
        return 1;
    }
    hw_cmds_append_nand(channel, lane_mask, NAND_LANE_MASK);
    hw_register_items(channel, items, count);
    hw_cmds_post_sync(channel, bank, DIRECT_MARKER_CODE);
    kpav_spin_unlock(&channel->issue_lock);
    return 0;
}

void direct_readback_arm(nand_dev* channel, ULONG* destination, ULONG capacity_words) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    direct_readback* state = &channel->direct;
    state->destination = destination;
    state->capacity = destination != nullptr ? capacity_words : 0;
    WriteNoFence(&state->status, -KPAV_EIO);
    WriteNoFence(&state->done, 0);
    WriteRelease(&state->pending, 1);
}

ULONG direct_readback_wait(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    direct_readback* state = &channel->direct;
    if (poll_ring0(channel, readback_steps, [state] { return ReadAcquire(&state->done) != 0; })) {
        return 0;
    }
    // Given up: disarmed unless the decoder is filling the destination now; then its end is
    // awaited, so that nothing writes there once the caller has gone.
    if (InterlockedCompareExchange(&state->pending, 0, 1) == 2) {
        while (ReadAcquire(&state->pending) == 2) {
            KeStallExecutionProcessor(step_us);
        }
        return ReadAcquire(&state->done) != 0 ? 0 : 0xFFFFFFFFu;
    }
    return 0xFFFFFFFFu;
}

bool direct_readback_decode(completion_queue* ring, ULONG word, ULONG* result) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = ring->owner;
    direct_readback* state = &channel->direct;
    // A read-back naming a request is the request's; one naming none is ours only while armed.
    if ((word >> 8 & 0xFFFF) != 0 || InterlockedCompareExchange(&state->pending, 2, 1) != 1) {
        return false;
    }
    int rc = cq_take_readback(ring, word, state->destination, state->capacity);
    WriteNoFence(&state->status, rc == 0 ? 0 : -KPAV_EIO);
    WriteRelease(&state->done, 1);
    WriteRelease(&state->pending, 0);
    *result = CQ_HANDLED;
    return true;
}

ULONG direct_all_pads(const nand_dev* channel) {
    ULONG pads = channel->geometry.total_pads;
    return pads >= 32 ? 0xFFFFFFFFu : (1u << pads) - 1;
}

ULONG direct_all_banks(const nand_dev* channel) {
    ULONG banks = channel->geometry.banks;
    return banks >= max_banks ? (1u << max_banks) - 1 : (1u << banks) - 1;
}

int nand_read_parameter_page(nand_dev* channel, ULONG bank, ULONG out[16]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG words[] = {code_parameter_page};
    return run_sequence(channel, bank, words, ARRAYSIZE(words), out, parameter_words);
}

int nand_read_identification(nand_dev* channel, ULONG bank, ULONG out[8]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG words[] = {code_identification};
    return run_sequence(channel, bank, words, ARRAYSIZE(words), out, identification_words);
}

int nand_set_feature(nand_dev* channel, ULONG bank) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG set[] = {code_set_feature, feature_address, feature_value};
    if (run_sequence(channel, bank, set, ARRAYSIZE(set), nullptr, 0) != 0) {
        return 1;
    }
    ULONG back[feature_words] = {};
    const ULONG get[] = {code_get_feature, feature_address};
    if (run_sequence(channel, bank, get, ARRAYSIZE(get), back, feature_words) != 0) {
        return 1;
    }
    // Four groups of 32 bytes, byte i of a group pad i's: a pad the channel does not use must
    // answer 0 in all of them.
    const auto* bytes = (const UCHAR*)back;
    ULONG pads = channel->geometry.total_pads < feature_group_bytes ? channel->geometry.total_pads : feature_group_bytes;
    ULONG first = planes_of(channel) * channel->geometry.total_pads * bank;
    for (ULONG group = 0; group < feature_groups; group++) {
        for (ULONG pad = 0; pad < pads; pad++) {
            if (bytes[group * feature_group_bytes + pad] != 0 && !pad_in_use(channel, first + pad)) {
                return 1;
            }
        }
    }
    return 0;
}

int nand_mgmt_select(nand_dev* channel, ULONG bank, UCHAR selector) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG words[] = {code_mgmt_select, selector};
    return run_sequence(channel, bank, words, ARRAYSIZE(words), nullptr, 0);
}

int nand_mgmt_read(nand_dev* channel, ULONG bank, UCHAR first, UCHAR second, ULONG* out, ULONG capacity) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG words[] = {code_mgmt_read, first, second};
    return run_sequence(channel, bank, words, ARRAYSIZE(words), out, capacity);
}

int nand_mgmt_set(nand_dev* channel, ULONG bank, const UCHAR args[4]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG words[] = {code_mgmt_set, args[0], args[1], args[2], args[3]};
    return run_sequence(channel, bank, words, ARRAYSIZE(words), nullptr, 0);
}

int nand_mgmt_set_wide(nand_dev* channel, ULONG bank, UCHAR a, USHORT b, UCHAR c, UCHAR d) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG words[] = {code_mgmt_set_wide, a, b, c, d};
    return run_sequence(channel, bank, words, ARRAYSIZE(words), nullptr, 0);
}

int bank_cmd_write(nand_dev* channel, ULONG bank_mask, ULONG lane_mask, ULONG n, const ULONG* words) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG bank = 0; bank < max_banks; bank++) {
        if ((bank_mask >> bank & 1) == 0) {
            continue;
        }
        if (!direct_lock_with_room(channel)) {
            return 1;
        }
        hw_cmds_append_nand(channel, lane_mask, NAND_LANE_MASK);
        for (ULONG i = 0; i < n; i++) {
            hw_reg_item item = port_item(bank, words[i]);
            hw_register_items(channel, &item, 1);
        }
        hw_cmds_post_sync(channel, bank, DIRECT_MARKER_CODE);
        kpav_spin_unlock(&channel->issue_lock);
        if (hw_cmds_wait_sync(channel, DIRECT_WAIT_US) != 0) {
            return 1;
        }
    }
    return 0;
}

int nand_set_bank_config(nand_dev* channel, ULONG a, ULONG b, bool wide, ULONG c) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG word = ((c << 19 | a | 0x100) << 8) | (wide ? 0x2000000u : 0x1000000u) | b;
    const ULONG groups[] = {code_bank_config, word};
    if (bank_cmd_write(channel, 1, direct_all_banks(channel), ARRAYSIZE(groups), groups) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to set bank configuration.\n", channel_name(channel));
        return bank_config_failed;
    }
    return 0;
}

int nand_set_part_features(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    const nand_part_row* part = nand_part_find(g.part_id, g.part_id_length);
    if (part == nullptr) {
        return 1;
    }
    ULONG mode = g.nand_mode == 2 ? 0 : g.nand_mode == 1 ? 1 : 2;
    const ULONG groups[] = {
        code_part_features, part->features[0], part->features[1], part->features[2],
        code_part_features_b, part->features_b[0], part->features_b[1],
        code_part_mode, part->mode_pairs[mode][0], part->mode_pairs[mode][1],
    };
    return bank_cmd_write(channel, direct_all_banks(channel), direct_all_pads(channel), ARRAYSIZE(groups), groups);
}

velkor_request* binary_read_port(nand_dev* channel, ULONG bank, ULONG* buffer) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const hw_reg_item items[] = {port_item(bank, code_read_port), port_item(bank, port_end), trigger_item(bank)};
    return build_binary(channel, items, ARRAYSIZE(items), buffer, 1);
}

velkor_request* binary_set_port_word(nand_dev* channel, ULONG value) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const hw_reg_item items[] = {port_item(0, code_set_port_word), port_item(0, value), port_item(0, port_end),
                                 trigger_item(0)};
    return build_binary(channel, items, ARRAYSIZE(items), nullptr, 0);
}

velkor_request* binary_marker_read(nand_dev* channel, ULONG argument, ULONG bank) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const hw_reg_item items[] = {port_item(bank, code_marker_read), port_item(bank, argument),
                                 port_item(bank, port_end), trigger_item(bank)};
    return build_binary(channel, items, ARRAYSIZE(items), nullptr, 0);
}

velkor_request* binary_bad_pad_mask(nand_dev* channel, ULONG bank, ULONG mask) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const hw_reg_item items[] = {port_item(bank, code_set_port_word), port_item(bank, mask),
                                 port_item(bank, port_end), trigger_item(bank)};
    return build_binary(channel, items, ARRAYSIZE(items), nullptr, 0);
}

int bad_pad_mask_chains_run(nand_dev* channel, const ULONG* masks, ULONG banks) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int status = 0;
    for (ULONG bank = 0; bank < banks && bank < max_banks; bank++) {
        velkor_request* chain = binary_bad_pad_mask(channel, bank, masks[bank]);
        status |= chain != nullptr ? request_submit_wait(chain->ioctx) : 1;
    }
    return status;
}

int issue_binary_command(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const auto& binary = request->params.binary;
    if (binary.items == nullptr || binary.item_count == 0) {
        return -KPAV_EINVAL;  // micro-operations alone are not sent: nothing would answer
    }
    ULONG tag = nand_tag_word(nand_request_ring(request), request->pool_index, TAG_STATUS);
    for (ULONG i = 0; i < binary.item_count; i++) {
        if (is_trigger(binary.items[i])) {
            hw_cmds_append_nand(channel, tag, NAND_STATUS_TAG);
        }
        hw_register_items(channel, &binary.items[i], 1);
    }
    if (binary.count != 0) {
        request->flags |= REQ_COMMANDS_WRITTEN;
    } else {
        InterlockedExchange(&request->cmd_done, 1);  // no read-back to wait for
    }
    return 0;
}
