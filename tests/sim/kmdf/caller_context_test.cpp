// Requests in their sender's context: the user address a METHOD_NEITHER request carries reaches
// the sender's memory only on a thread of the sender's process. A queue presents a request on
// the sender's thread when it presents at once, and a request it held from a worker thread of
// the system process, where a copy from that address fails; a driver that probes and locks the
// buffer in EvtIoInCallerContext reaches it from anywhere, and the sender sees what it wrote.

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/kernel.h"
#include "sim/kmdf/control.h"
#include "sim/kmdf/wdf.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

constexpr ULONG method_neither = 3;
constexpr ULONG counter_code = 0x77 << 16 | 0x801 << 2 | method_neither;

// Where the test driver reaches the sender's 8-byte counter, which its queue adds one to.
enum class reach {
    in_queue,           // the sender's address, in the queue's callback
    in_caller_context,  // locked in EvtIoInCallerContext, then through the locked memory
    probes_only,        // EvtIoInCallerContext tries the retrievals and locks below and completes
};
std::atomic<reach> way{reach::in_queue};

// What the driver's calls gave, for the tests to look at.
struct seen_record {
    NTSTATUS input = 0;
    NTSTATUS output = 0;
    NTSTATUS lock_read = 0;
    NTSTATUS lock_write = 0;
    NTSTATUS retrieve_in_queue = 0;
    NTSTATUS lock_in_queue = 0;
    int presented_in_process = 0;  // user_process() of the thread the queue presented on
};
seen_record seen;

struct request_context {
    ULONG64* counter;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(request_context, request_context_of)

WDFQUEUE queue = nullptr;

void io_device_control(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    seen.presented_in_process = user_process();
    if (way == reach::in_caller_context) {
        request_context_of(request)->counter[0]++;
        WdfRequestComplete(request, STATUS_SUCCESS);
        return;
    }
    // A driver that reaches the buffer only here: the retrieval belongs to EvtIoInCallerContext,
    // and a lock works only where the sender's memory is.
    void* user = WdfRequestWdmGetIrp(request)->UserBuffer;
    PVOID retrieved = nullptr;
    seen.retrieve_in_queue = WdfRequestRetrieveUnsafeUserOutputBuffer(request, 8, &retrieved, nullptr);
    WDFMEMORY memory;
    seen.lock_in_queue = WdfRequestProbeAndLockUserBufferForRead(request, user, 8, &memory);
    ULONG64 value = 0;
    if (!SimCopyFromUser(&value, user, sizeof value)) {
        WdfRequestComplete(request, STATUS_ACCESS_VIOLATION);
        return;
    }
    value++;
    WdfRequestComplete(request, SimCopyToUser(user, &value, sizeof value) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION);
}

void in_caller_context(WDFDEVICE device, WDFREQUEST request) {
    PVOID user = nullptr;
    PVOID input = nullptr;
    seen.input = WdfRequestRetrieveUnsafeUserInputBuffer(request, 8, &input, nullptr);
    seen.output = WdfRequestRetrieveUnsafeUserOutputBuffer(request, 8, &user, nullptr);
    if (way == reach::probes_only) {
        WDFMEMORY memory;
        seen.lock_read = WdfRequestProbeAndLockUserBufferForRead(request, input, 8, &memory);
        seen.lock_write = WdfRequestProbeAndLockUserBufferForWrite(request, input, 8, &memory);
        WdfRequestComplete(request, seen.lock_write);
        return;
    }
    NTSTATUS status = seen.output;
    WDFMEMORY memory;
    if (NT_SUCCESS(status)) {
        status = WdfRequestProbeAndLockUserBufferForWrite(request, user, 8, &memory);
    }
    if (NT_SUCCESS(status)) {
        request_context_of(request)->counter = (ULONG64*)WdfMemoryGetBuffer(memory, nullptr);
        status = WdfDeviceEnqueueRequest(device, request);
    }
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
    }
}

NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_OBJECT_ATTRIBUTES request_attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&request_attributes, request_context);
    WdfDeviceInitSetRequestAttributes(init, &request_attributes);
    if (way != reach::in_queue) {
        WdfDeviceInitSetIoInCallerContextCallback(init, in_caller_context);
    }
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfFalse;
    config.EvtIoDeviceControl = io_device_control;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    return WdfDriverCreate(driver_object, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace

class CallerContextTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        seen = {};
        ASSERT_EQ(load_driver("cctest", driver_entry, &wdm_driver_), STATUS_SUCCESS);
    }
    void TearDown() override {
        sim::kmdf::unload(wdm_driver_);
        EXPECT_EQ(sim::kmdf::live_objects(), 0u);
        EXPECT_TRUE(wait_for_work_items(10000));
        KernelTest::TearDown();
    }

    // A device of the test driver that reaches the sender's buffer `how`.
    WDFDEVICE add(reach how) {
        way = how;
        WDFDEVICE device = nullptr;
        EXPECT_EQ(sim::kmdf::add_device(WdfGetDriver(), {}, &device), STATUS_SUCCESS);
        return device;
    }

    static NTSTATUS send(WDFDEVICE device, void* buffer, ULONG output_length = 8) {
        ULONG_PTR information = 0;
        return sim::kmdf::device_control(device, nullptr, counter_code, buffer, 8, output_length, &information);
    }

    // Sends from another thread of this process while the queue is stopped, and starts the
    // queue once it holds the request.
    static NTSTATUS send_while_held(WDFDEVICE device, void* buffer) {
        WdfIoQueueStop(queue, nullptr, nullptr);
        NTSTATUS status = STATUS_PENDING;
        bounded_thread sender("sender", [&] { status = send(device, buffer); });
        EXPECT_TRUE(eventually([&] { return sim::kmdf::held_requests(device) == 1; }));
        WdfIoQueueStart(queue);
        sender.join();
        return status;
    }

    PDRIVER_OBJECT wdm_driver_ = nullptr;
};

TEST_F(CallerContextTest, AHeldRequestReachesItsSendersBufferOnlyThroughWhatWasLockedInItsContext) {
    struct row {
        const char* what;
        reach how;
        bool held;
        NTSTATUS status;
        ULONG64 counter_after;
        int presented_in;  // 0: the sender's process, -1: the system process
    };
    const row rows[] = {
        {"sender's address, presented at once", reach::in_queue, false, STATUS_SUCCESS, 42, 0},
        {"sender's address, held", reach::in_queue, true, STATUS_ACCESS_VIOLATION, 41, -1},
        {"locked in the caller's context, presented at once", reach::in_caller_context, false, STATUS_SUCCESS, 42, 0},
        {"locked in the caller's context, held", reach::in_caller_context, true, STATUS_SUCCESS, 42, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        WDFDEVICE device = add(r.how);
        ULONG64 counter = 41;
        EXPECT_EQ(r.held ? send_while_held(device, &counter) : send(device, &counter), r.status);
        EXPECT_EQ(counter, r.counter_after);
        EXPECT_EQ(seen.presented_in_process, r.presented_in == 0 ? getpid() : -1);
        sim::kmdf::remove_device(device);
    }
}

TEST_F(CallerContextTest, RetrievalAndLockBelongToTheCallersContext) {
    // From the worker that presents a held request, the retrieval is refused and the lock finds
    // no sender's memory.
    WDFDEVICE device = add(reach::in_queue);
    ULONG64 counter = 7;
    EXPECT_EQ(send_while_held(device, &counter), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(seen.retrieve_in_queue, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(seen.lock_in_queue, STATUS_ACCESS_VIOLATION);
    // Presented at once, on the sender's thread, the lock finds it (the retrieval is still
    // EvtIoInCallerContext's alone).
    EXPECT_EQ(send(device, &counter), STATUS_SUCCESS);
    EXPECT_EQ(seen.retrieve_in_queue, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(seen.lock_in_queue, STATUS_SUCCESS);
    EXPECT_EQ(counter, 8u);
    sim::kmdf::remove_device(device);
}

TEST_F(CallerContextTest, TheProbeTellsWhatTheSenderMayReadAndWrite) {
    long page_size = sysconf(_SC_PAGESIZE);
    auto* read_only = (ULONG64*)mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(read_only, MAP_FAILED);
    read_only[0] = 5;
    ASSERT_EQ(mprotect(read_only, page_size, PROT_READ), 0);
    void* unmapped = mmap(nullptr, page_size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(unmapped, MAP_FAILED);
    ULONG64 writable = 3;

    struct row {
        const char* what;
        void* buffer;
        ULONG output_length;
        NTSTATUS output;
        NTSTATUS lock_read;
        NTSTATUS lock_write;
    };
    const row rows[] = {
        {"writable", &writable, 8, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        {"read-only", read_only, 8, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_ACCESS_VIOLATION},
        {"not mapped", unmapped, 8, STATUS_SUCCESS, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"output shorter than asked", &writable, 4, STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS, STATUS_SUCCESS},
    };
    WDFDEVICE device = add(reach::probes_only);
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        seen = {};
        EXPECT_EQ(send(device, r.buffer, r.output_length), r.lock_write);
        EXPECT_EQ(seen.input, STATUS_SUCCESS);
        EXPECT_EQ(seen.output, r.output);
        EXPECT_EQ(seen.lock_read, r.lock_read);
        EXPECT_EQ(seen.lock_write, r.lock_write);
    }
    EXPECT_EQ(read_only[0], 5u);
    EXPECT_EQ(writable, 3u);  // a lock alone writes nothing
    munmap(read_only, page_size);
    munmap(unmapped, page_size);
    sim::kmdf::remove_device(device);
}

TEST_F(CallerContextTest, ARequestStillHeldWhenItsDeviceGoesFailsAndNeverReachesTheDriver) {
    WDFDEVICE device = add(reach::in_caller_context);
    WdfIoQueueStop(queue, nullptr, nullptr);
    ULONG64 counter = 9;
    NTSTATUS status = STATUS_PENDING;
    bounded_thread sender("sender", [&] { status = send(device, &counter); });
    ASSERT_TRUE(eventually([&] { return sim::kmdf::held_requests(device) == 1; }));
    sim::kmdf::remove_device(device);
    sender.join();
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(counter, 9u);
    EXPECT_EQ(seen.presented_in_process, 0);
}
