// Stand-in: the AppKit classes and members the Mac backend uses.
#pragma once

#import <Foundation/Foundation.h>
#include <sys/types.h>

@interface NSRunningApplication : NSObject
@property(readonly) pid_t processIdentifier;
@property(readonly, copy) NSString* localizedName;
@end

@interface NSWorkspace : NSObject
@property(class, readonly, strong) NSWorkspace* sharedWorkspace;
@property(readonly, copy) NSArray<NSRunningApplication*>* runningApplications;
@end
