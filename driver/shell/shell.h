// The device shell of strovane: how Windows loads the driver, binds each card's function
// device and drives it through PnP and power, places its interrupts, and hands the requests of
// the card's control device to the control interface.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/control/bugcheck_dump.h"
#include "driver/control/control_record.h"
#include "driver/platform/os.h"
#include "driver/platform/pci_dev.h"

constexpr ULONG PAV_MAX_INTERRUPTS = 16;

// The context of each interrupt object (one per message-signalled vector).
struct INTERRUPT_CONTEXT {
    WDF_INTERRUPT_INFO info;
    pci_dev* pdev;
    ULONG index;       // the vector's index, also the completion ring it serves
    ULONG64 affinity;  // placement planned for the vector
    USHORT group;
    ULONG node;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(INTERRUPT_CONTEXT, PavGetInterruptContext);

// The context of a card's function device.
struct FDO_CONTEXT {
    WDFDEVICE device;
    WDFQUEUE queue;
    ULONG card_number;
    ULONG message_count;
    ULONG next_interrupt;
    ULONG plan_count;
    void* bar;
    ULONG64 bar_physical;
    ULONG bar_length;
    BOOLEAN message_signalled;
    pci_dev pdev;
    BOOLEAN attached;
    WDFINTERRUPT interrupts[PAV_MAX_INTERRUPTS];
    pipeline_device* card;  // while the card's interfaces are registered
    void* attached_store;
    ULONG block_size;
    BOOLEAN parallel_attach_pending;
    KEVENT start_event;
    NTSTATUS start_status;
    ULONG64 affinity_mask;
    USHORT numa_node;
    USHORT group;
    kpav_bugcheck_record bugcheck;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FDO_CONTEXT, PavGetFdoContext);

// The request context of the card's requests and of its disks' requests.
struct PAV_IO_REQUEST {
    // A disk read or write (scsi.cpp): its data goes through a bounce buffer (the caller's
    // buffer is not 8-byte aligned), its direction, the bounce buffer, the caller's MDL mapped
    // to system space (bounced requests only), the data's offset in the MDL and its length, and
    // the SRB it answers.
    ULONG bounced;
    ULONG is_read;
    void* bounce;
    void* mapped;
    BOOLEAN flag;
    ULONG offset;
    ULONG length;
    struct SCSI_REQUEST_BLOCK* srb;
    // The caller's record of a device-control request, probed and locked in the caller's context
    // (FdoEvtIoInCallerContext): its system-space address and length, good in any context while
    // the request lives; no data for a request without a record.
    control_record record;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PAV_IO_REQUEST, PavGetRequestContext);

struct FILEOBJECT_CONTEXT {
    UCHAR unused[16];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILEOBJECT_CONTEXT, PavGetFileContext);

// {A7EF9B8E-5422-4151-932C-CFD0BA4392BE}: the card's control device interface.
inline constexpr GUID GUID_PAV_CARD_INTERFACE = {
    0xA7EF9B8E, 0x5422, 0x4151, {0x93, 0x2C, 0xCF, 0xD0, 0xBA, 0x43, 0x92, 0xBE}};
// {AE0A85F5-CD5D-4B7E-8FB0-67526336F0CB}: the bus type of the card's children.
inline constexpr GUID GUID_PAV_CHILD_BUS = {
    0xAE0A85F5, 0xCD5D, 0x4B7E, {0x8F, 0xB0, 0x67, 0x52, 0x63, 0x36, 0xF0, 0xCB}};
// {CA56A5D7-075E-4169-A69C-37EA2415E667}: the driver's trace provider.

// ---- Driver entry and unload (driver_entry.cpp)
extern "C++" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);
void DriverEvtCleanup(WDFOBJECT driver);
int pav_core_init();
void pav_core_exit();
// The multi-queue flag: 16 interrupts per card when set, else 1.
extern BOOLEAN pav_multiq;
// One entry per NUMA node: the processor bit given to the last card placed on it. NULL when
// the table could not be had.
extern ULONG64* pav_numa_node_table;
extern USHORT pav_numa_node_count;
// The MDL mapping flag (no-execute where the system has it).
extern ULONG pav_mdl_mapping_flag;

// ---- The function device (device.cpp)
NTSTATUS FdoEvtDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT device_init);
void GetPavPciInfo(FDO_CONTEXT* context, WDFDEVICE device);
NTSTATUS PavGetConfigDefaults(WDFDRIVER driver, FDO_CONTEXT* context);
NTSTATUS PavRegisterCardInterfaces(pci_dev* pdev, pipeline_device* card);
void PavUnregisterCardInterfaces(FDO_CONTEXT* context);
NTSTATUS PavQueryRegistryInterface(pci_dev* pdev, struct DRIVER_REGISTRY_INTERFACE* interface);
// Reports the card to the framework as a device that failed, without restart; false when it
// has no framework device. At most DISPATCH_LEVEL.
bool PavReportDeviceFailed(pipeline_device* card);
// The shell's operations for each card it probes (pci_dev::card_ops).
extern const card_ops pav_shell_card_ops;
// Reads one registry value of the framework's Parameters key into its module parameter.
NTSTATUS PavReadWdfRegistryParameter(WDFKEY key, const char* name);

// ---- Interrupts and their placement (affinity.cpp, interrupt.cpp)
bool PavValidateAffinityParameter();
bool PavFindAffinityEntry(USHORT domain, UCHAR bus, ULONG* number, ULONG64* mask, bool* is_group);
void PavSetAffinityDefaults(FDO_CONTEXT* context);
NTSTATUS FdoEvtDeviceFilterAddResourceRequirements(WDFDEVICE device, WDFIORESREQLIST requirements);
ULONG PavPlanInterruptAffinity(WDFDEVICE device);
NTSTATUS PavSetInterruptPolicy(WDFDEVICE device, PIO_RESOURCE_DESCRIPTOR descriptor);
BOOLEAN FdoEvtInterruptIsr(WDFINTERRUPT interrupt, ULONG message_id);
void FdoEvtInterruptDpc(WDFINTERRUPT interrupt, WDFOBJECT device);
int PavGetInterruptVector(pci_dev* pdev, ULONG* vector);


// ---- The control device (ioctl.cpp)
void FdoEvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request);
void FdoEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t output_length, size_t input_length,
                           ULONG io_control_code);
void FdoEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file_object);
int PavPrivateIoctl(ULONG number, const control_record* record);
