// Stand-in: the libdispatch declarations the Mac backend uses. Dispatch
// objects are Objective-C objects under ARC, as on the real SDK.
#pragma once

#import <Foundation/Foundation.h>

@protocol OS_dispatch_queue <NSObject>
@end
@protocol OS_dispatch_queue_attr <NSObject>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

#define DISPATCH_QUEUE_SERIAL nullptr

typedef void (^dispatch_block_t)(void);

extern "C" {
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
}
