// Stand-in: process taps (macOS 14.2+).
#pragma once

#include <CoreAudio/AudioHardware.h>
#import <CoreAudio/CATapDescription.h>

extern "C" {
OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);
}
