// Stand-in: the AVFoundation declarations the Mac backend uses.
#pragma once

#import <Foundation/Foundation.h>

typedef NSString* AVMediaType;
extern "C" AVMediaType const AVMediaTypeAudio;

typedef enum AVAuthorizationStatus : NSInteger {
  AVAuthorizationStatusNotDetermined = 0,
  AVAuthorizationStatusRestricted = 1,
  AVAuthorizationStatusDenied = 2,
  AVAuthorizationStatusAuthorized = 3,
} AVAuthorizationStatus;

@interface AVCaptureDevice : NSObject
+ (AVAuthorizationStatus)authorizationStatusForMediaType:(AVMediaType)mediaType;
+ (void)requestAccessForMediaType:(AVMediaType)mediaType
                completionHandler:(void (^)(BOOL granted))handler;
@end
