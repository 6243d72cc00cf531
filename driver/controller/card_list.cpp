#include "driver/controller/card_list.h"

#include "driver/card/pipeline_device.h"
#include "driver/platform/cpu_wq_ops.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

LIST_ENTRY cards = {&cards, &cards};
FAST_MUTEX cards_mutex;

}  // namespace

void pav_driver_list_init() {
    PAGED_CODE();
    InitializeListHead(&cards);
    ExInitializeFastMutex(&cards_mutex);
}

int pav_driver_list_walk(pav_card_function function, void* argument) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    return pav_driver_list_for_each(function, nullptr, argument);
}

void pav_driver_list_add(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    ExAcquireFastMutex(&cards_mutex);
    InsertHeadList(&cards, &card->card_list_link);
    ExReleaseFastMutex(&cards_mutex);
}

void pav_driver_list_remove(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    ExAcquireFastMutex(&cards_mutex);
    RemoveEntryList(&card->card_list_link);
    InitializeListHead(&card->card_list_link);
    ExReleaseFastMutex(&cards_mutex);
}

bool pav_driver_list_contains(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    ExAcquireFastMutex(&cards_mutex);
    bool found = false;
    for (PLIST_ENTRY e = cards.Flink; e != &cards; e = e->Flink) {
        if (e == &card->card_list_link) {
            found = true;
            break;
        }
    }
    ExReleaseFastMutex(&cards_mutex);
    return found;
}

int pav_driver_list_for_each(pav_card_function function, void* ignored, void* argument) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    UNREFERENCED_PARAMETER(ignored);
    if (!ExTryToAcquireFastMutex(&cards_mutex)) {
        return -KPAV_EBUSY;
    }
    int result = 0;
    for (PLIST_ENTRY e = cards.Flink; e != &cards && result == 0; e = e->Flink) {
        result = function(CONTAINING_RECORD(e, pipeline_device, card_list_link), argument);
    }
    ExReleaseFastMutex(&cards_mutex);
    return result;
}
