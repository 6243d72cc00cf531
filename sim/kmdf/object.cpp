#include "sim/kmdf/object.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim/kmdf/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf {
namespace framework {
namespace {

std::atomic<ULONG> live{0};

}  // namespace

object::object(object_kind k) : kind(k) {
    live++;
}

object::~object() {
    for (const context_block& c : contexts) {
        std::free(c.memory);
    }
    magic = 0;
    live--;
}

std::recursive_mutex& tree_mutex() {
    static auto* m = new std::recursive_mutex();
    return *m;
}

std::condition_variable_any& state_changed() {
    static auto* cv = new std::condition_variable_any();
    return *cv;
}

void violation(ULONG_PTR what, ULONG_PTR p2, ULONG_PTR p3) {
    std::fprintf(stderr, "sim: framework rule broken (0x%llx)\n", (unsigned long long)what);
    KeBugCheckEx(WDF_VIOLATION, what, p2, p3, 0);
}

void require_irql_at_most(KIRQL highest, ULONG_PTR what) {
    if (KeGetCurrentIrql() > highest) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, what, KeGetCurrentIrql(), highest, 0);
    }
}

object* from_handle(WDFOBJECT handle) {
    auto* o = (object*)handle;
    if (o == nullptr || o->magic != object::live_magic) {
        violation(0x10, (ULONG_PTR)handle);
    }
    return o;
}

namespace {

NTSTATUS add_context(object* o, PWDF_OBJECT_ATTRIBUTES attributes, void** memory) {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes->ContextTypeInfo;
    size_t size = std::max(type->ContextSize, attributes->ContextSizeOverride);
    void* m = std::calloc(1, std::max<size_t>(size, 1));
    if (m == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    o->contexts.push_back({type->UniqueType != nullptr ? type->UniqueType : type, m});
    if (memory != nullptr) {
        *memory = m;
    }
    return STATUS_SUCCESS;
}

bool valid_attributes(PWDF_OBJECT_ATTRIBUTES attributes) {
    return attributes == nullptr || attributes->Size == sizeof(WDF_OBJECT_ATTRIBUTES);
}

}  // namespace

NTSTATUS attach(object* o, PWDF_OBJECT_ATTRIBUTES attributes, object* parent) {
    if (!valid_attributes(attributes)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes != nullptr) {
        o->cleanup = attributes->EvtCleanupCallback;
        o->destroy = attributes->EvtDestroyCallback;
        if (attributes->ExecutionLevel != WdfExecutionLevelInvalid) {
            o->level = attributes->ExecutionLevel;
        }
        if (attributes->SynchronizationScope != WdfSynchronizationScopeInvalid) {
            o->scope = attributes->SynchronizationScope;
        }
        if (attributes->ContextTypeInfo != nullptr) {
            NTSTATUS status = add_context(o, attributes, nullptr);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    if (parent != nullptr) {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        if (parent->deleting) {
            return (NTSTATUS)0xC0000056;  // STATUS_DELETE_PENDING
        }
        parent->children.push_back(o);
        o->parent = parent;
        parent->references++;
    }
    return STATUS_SUCCESS;
}

void discard(object* o) {
    o->on_destroy();
    delete o;
}

void abandon(object* o) {
    object* parent = o->parent;
    if (parent != nullptr) {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        auto& siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), o), siblings.end());
        o->parent = nullptr;
    }
    discard(o);
    if (parent != nullptr) {
        release(parent);
    }
}

void add_reference(object* o) {
    if (o->references++ <= 0) {
        violation(0x11, (ULONG_PTR)o);
    }
}

void release(object* o) {
    LONG left = --o->references;
    if (left > 0) {
        return;
    }
    if (left < 0) {
        violation(0x12, (ULONG_PTR)o);
    }
    if (o->destroy != nullptr) {
        o->destroy(o->handle());
    }
    o->on_destroy();
    object* parent = o->parent;
    delete o;
    if (parent != nullptr) {
        release(parent);
    }
}

void delete_object(object* o) {
    std::vector<object*> children;
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        if (o->deleting) {
            return;
        }
        o->deleting = true;
        children = o->children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        delete_object(*it);
    }
    o->before_cleanup();
    if (o->cleanup != nullptr) {
        o->cleanup(o->handle());
    }
    o->after_cleanup();
    if (o->parent != nullptr) {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        auto& siblings = o->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), o), siblings.end());
    }
    release(o);
}

WDF_EXECUTION_LEVEL effective_level(object* o) {
    for (object* p = o; p != nullptr; p = p->parent) {
        if (p->level != WdfExecutionLevelInheritFromParent) {
            return p->level;
        }
    }
    return WdfExecutionLevelDispatch;
}

WDF_SYNCHRONIZATION_SCOPE effective_scope(object* o) {
    for (object* p = o; p != nullptr; p = p->parent) {
        if (p->scope != WdfSynchronizationScopeInheritFromParent) {
            return p->scope;
        }
    }
    return WdfSynchronizationScopeNone;
}

device_object* device_ancestor(object* o) {
    for (object* p = o; p != nullptr; p = p->parent) {
        if (p->kind == object_kind::device) {
            return static_cast<device_object*>(p);
        }
    }
    return nullptr;
}

}  // namespace framework

ULONG live_objects() {
    return framework::live.load();
}

}  // namespace sim::kmdf

using namespace sim::kmdf::framework;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO type_info) {
    object* o = from_handle(handle);
    PCWDF_OBJECT_CONTEXT_TYPE_INFO wanted = type_info->UniqueType != nullptr ? type_info->UniqueType : type_info;
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    for (const context_block& c : o->contexts) {
        if (c.type == wanted) {
            return c.memory;
        }
    }
    return nullptr;
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT* handle) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)attributes);
    *handle = nullptr;
    object* parent = nullptr;
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        parent = from_handle(attributes->ParentObject);
    } else {
        parent = current_driver();
        if (parent == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    auto* o = new object(object_kind::generic);
    NTSTATUS status = attach(o, attributes, parent);
    if (!NT_SUCCESS(status)) {
        discard(o);
        return status;
    }
    *handle = o->handle();
    return STATUS_SUCCESS;
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT handle, PWDF_OBJECT_ATTRIBUTES context_attributes, PVOID* context) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)handle);
    object* o = from_handle(handle);
    if (context_attributes == nullptr || context_attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES) ||
        context_attributes->ContextTypeInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    if (WdfObjectGetTypedContextWorker(handle, context_attributes->ContextTypeInfo) != nullptr) {
        return (NTSTATUS)0x40000000;  // STATUS_OBJECT_NAME_EXISTS
    }
    return add_context(o, context_attributes, context);
}

void WdfObjectDelete(WDFOBJECT handle) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)handle);
    object* o = from_handle(handle);
    if (o->kind == object_kind::driver) {
        violation(0x20, (ULONG_PTR)handle);
    }
    if (o->kind == object_kind::device && static_cast<device_object*>(o)->pnp) {
        violation(0x21, (ULONG_PTR)handle);
    }
    delete_object(o);
}

void WdfObjectReference(WDFOBJECT handle) {
    add_reference(from_handle(handle));
}

void WdfObjectDereference(WDFOBJECT handle) {
    release(from_handle(handle));
}
