#pragma once

#include <stdint.h>

#include <objc/NSObject.h>
#include <os/availability.h>

// Under Objective-C, dispatch objects are Objective-C objects (ARC manages them).
#define DISPATCH_DECL(name) \
    @protocol OS_##name <OS_dispatch_object> \
    @end \
    typedef NSObject<OS_##name> *name##_t
#define DISPATCH_DECL_SUBCLASS(name, base) \
    @protocol OS_##name <OS_##base> \
    @end \
    typedef NSObject<OS_##name> *name##_t

extern "C" {
NS_ASSUME_NONNULL_BEGIN

@protocol OS_dispatch_object <NSObject>
@end
typedef NSObject<OS_dispatch_object> *dispatch_object_t;

typedef void (^dispatch_block_t)(void);

#pragma mark - Queues

DISPATCH_DECL(dispatch_queue);
DISPATCH_DECL_SUBCLASS(dispatch_queue_global, dispatch_queue);
DISPATCH_DECL_SUBCLASS(dispatch_queue_serial, dispatch_queue);
DISPATCH_DECL_SUBCLASS(dispatch_queue_main, dispatch_queue_serial);
DISPATCH_DECL(dispatch_queue_attr);

#define DISPATCH_QUEUE_SERIAL NULL
#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0

dispatch_queue_t dispatch_queue_create(const char *_Nullable label, dispatch_queue_attr_t _Nullable attr);
dispatch_queue_main_t dispatch_get_main_queue(void);
dispatch_queue_global_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_resume(dispatch_object_t object);

#pragma mark - Sources

DISPATCH_DECL(dispatch_source);

typedef const struct dispatch_source_type_s *dispatch_source_type_t;

extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)

// NULL when the source cannot be created.
dispatch_source_t _Nullable dispatch_source_create(dispatch_source_type_t type, uintptr_t handle, uintptr_t mask,
                                                   dispatch_queue_t _Nullable queue);
void dispatch_source_set_event_handler(dispatch_source_t source, dispatch_block_t _Nullable handler);
void dispatch_source_cancel(dispatch_source_t source);

NS_ASSUME_NONNULL_END
}
