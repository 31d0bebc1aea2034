// Stand-in: CATapDescription (macOS 14.2+), the members the Mac backend uses.
#pragma once

#import <Foundation/Foundation.h>

typedef enum CATapMuteBehavior : NSInteger {
  CATapUnmuted = 0,
  CATapMuted = 1,
  CATapMutedWhenTapped = 2,
} CATapMuteBehavior;

@interface CATapDescription : NSObject
@property(copy) NSString* name;
@property(strong) NSUUID* UUID;
@property(copy) NSArray<NSNumber*>* processes;
@property(getter=isMono) BOOL mono;
@property(getter=isExclusive) BOOL exclusive;
@property(getter=isMixdown) BOOL mixdown;
@property(getter=isPrivate) BOOL privateTap;
@property CATapMuteBehavior muteBehavior;
@property(copy) NSString* deviceUID;
@property(copy) NSNumber* stream;
@end
