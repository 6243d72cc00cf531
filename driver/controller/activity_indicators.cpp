#include "driver/controller/activity_indicators.h"

#include "driver/card/pipeline_device.h"
#include "driver/controller/pmp_internal.h"
#include "driver/controller/startup.h"
#include "driver/platform/kassert.h"

ULONG activity_byte_level(ULONG bytes) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (bytes > 600000000) {
        return 246;
    }
    if (bytes <= 300000000) {
        return (ULONG)((ULONG64)bytes * 235 / 300000000);
    }
    return 235 + (ULONG)((ULONG64)(bytes - 300000000) * 11 / 300000000);
}

ULONG activity_erase_level(ULONG erases) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (erases > 500) {
        return 246;
    }
    if (erases <= 300) {
        return erases * 235 / 300;
    }
    return 235 + (erases - 300) * 11 / 200;
}

void activity_indicators_update(pipeline_device* card, const pav_activity* now) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pmp_client* pmp = card->pmp;
    if (pmp == nullptr) {
        return;
    }
    ULONG written = now->bytes_written - pmp->activity[0];
    ULONG read = now->bytes_read - pmp->activity[1];
    ULONG erased = now->erases - pmp->activity[2];
    ULONG a = activity_byte_level(written);
    ULONG erase_level = activity_erase_level(erased);
    if (erase_level > a) {
        a = erase_level;
    }
    ULONG b = activity_byte_level(read);
    bool attention = card->channel_state == 4 || (card->minimal_mode_reasons & PAV_MINIMAL) != 0 ||
                     now->channel_attention;
    ULONG mode = card->saved_state != nullptr ? *card->saved_state : 0;
    UCHAR settings[3];
    if (card->saved_state == nullptr || mode == 0 || attention) {
        settings[0] = 1, settings[1] = 0, settings[2] = 0;
    } else if (mode == 2) {
        settings[0] = 1, settings[1] = 1, settings[2] = 1;
    } else {
        settings[0] = 0;
        settings[1] = (UCHAR)(a == 0 ? 0 : a < 128 ? 2 : 3);
        settings[2] = (UCHAR)(b == 0 ? 1 : b < 128 ? 2 : 3);
    }
    if (!pmp->indicators_sent || RtlCompareMemory(settings, pmp->indicators, 3) != 3) {
        const pmp_address_record* r = &pmp->targets[SMP_RECORD_INDICATORS];
        pmp_address target{};
        target.length = r->length;
        RtlCopyMemory(target.bytes, r->path, sizeof target.bytes);
        static const ULONG indicator[3] = {1, 2, 4};
        ULONG sent = 0;
        for (ULONG i = 0; i < 3; i++) {
            sent += pmp_write_data(card, &target, PMP_CMD_INDICATOR, indicator[i], &settings[i], 1);
        }
        if (sent == 3) {
            RtlCopyMemory(pmp->indicators, settings, 3);
            pmp->indicators_sent = TRUE;
        }
    }
    pmp->activity[0] = now->bytes_written;
    pmp->activity[1] = now->bytes_read;
    pmp->activity[2] = now->erases;
}
