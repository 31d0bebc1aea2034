// Stand-in: the CoreAudio umbrella header.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/CoreAudioTypes.h>
