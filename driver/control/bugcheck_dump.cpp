#include "driver/control/bugcheck_dump.h"

#include "driver/card/csr_dump.h"
#include "driver/card/pipeline_device.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/params.h"
#include "driver/platform/version.h"

GUID kpav_bugcheck_dump_guid = {0x6D1C3B52, 0x9E04, 0x4A7F, {0x8B, 0x21, 0x5C, 0xE9, 0x40, 0x73, 0xA6, 0x1D}};

void kpav_register_bugcheck_callback(kpav_bugcheck_record* record, pipeline_device* card) {
    PAGED_CODE();
    record->registered = FALSE;
    record->card = card;
    if (!KeRegisterBugCheckReasonCallback(&record->reason_record, kpav_bugcheck_dump_callback,
                                          KbCallbackSecondaryDumpData, (PUCHAR) "strovane")) {
        kpav_syslog(KPAV_LEVEL_WARNING, "", KPAV_NO_MESSAGE_ID, "dov%d: Unable to register bugcheck callback\r\n",
                    (int)card->card_number);
        return;
    }
    record->registered = TRUE;
    record->dump_guid = kpav_bugcheck_dump_guid;
    kpav_bugcheck_dump_guid.Data3++;
}

void kpav_deregister_bugcheck_callback(kpav_bugcheck_record* record) {
    PAGED_CODE();
    if (record->registered) {
        KeDeregisterBugCheckReasonCallback(&record->reason_record);
        record->registered = FALSE;
    }
}

namespace {

// Writes the banner into the record's text; returns the bytes written.
ULONG write_banner(kpav_bugcheck_record* record) {
    pipeline_device* card = record->card;
    char* text = record->text;
    size_t size = sizeof record->text;
    size_t used = 0;
    used += kpav_snprintf(text + used, size - used, "Corvane Zelt v %s\r\nBuilt on %s %s\r\n", pav_version_string,
                          __DATE__, __TIME__);
    used += kpav_snprintf(text + used, size - used, "Device %s at %04x:%02x:%02x.%x\r\n", pav_card_name(card),
                          card->pci_domain, card->pci_bus, card->pci_device, card->pci_function);
    if (card->fw_version_read) {
        used += kpav_snprintf(text + used, size - used, "FW version: %d.%d.%d.%d\r\n", (int)card->fw_major,
                              (int)card->fw_minor, (int)card->fw_micro, (int)card->fw_build);
    } else {
        used += kpav_snprintf(text + used, size - used, "FW version: UNAVAILABLE\r\n");
    }
    return (ULONG)used;
}

}  // namespace

// Runs at HIGH_LEVEL while the system stops: formats only into memory allocated before.
void kpav_bugcheck_dump_callback(KBUGCHECK_CALLBACK_REASON reason, PKBUGCHECK_REASON_CALLBACK_RECORD reason_record,
                                 PVOID reason_data, ULONG reason_data_length) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (reason != KbCallbackSecondaryDumpData || reason_data_length < sizeof(KBUGCHECK_SECONDARY_DUMP_DATA)) {
        return;
    }
    auto* record = CONTAINING_RECORD(reason_record, kpav_bugcheck_record, reason_record);
    auto* dump = (PKBUGCHECK_SECONDARY_DUMP_DATA)reason_data;
    pipeline_device* card = record->card;
    bool register_dump = win_bugcheck_enable_csr_dump != 0 && card->dump.buffer != nullptr && card->dump.size != 0;
    void* buffer = register_dump ? (void*)card->dump.buffer : (void*)record->text;
    ULONG size = register_dump ? card->dump.size : (ULONG)sizeof record->text;

    if (dump->OutBuffer == nullptr) {
        // First call: offer our buffer.
        dump->OutBuffer = buffer;
        dump->OutBufferLength = size < dump->MaximumAllowed ? size : dump->MaximumAllowed;
        return;
    }
    if (dump->OutBuffer != dump->InBuffer) {
        return;
    }
    // Second call: write the data.
    ULONG length = write_banner(record);
    if (register_dump) {
        csr_dump_request(card, 0, record->text, 0);
        length = card->dump.position;
    }
    if (length > dump->MaximumAllowed) {
        length = dump->MaximumAllowed;
    }
    dump->OutBuffer = buffer;
    dump->OutBufferLength = length;
    dump->Guid = record->dump_guid;
}
