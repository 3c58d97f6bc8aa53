#include "app/RZ41FirmwareUpdaterApplication.h"

START_JUCE_APPLICATION (RZ41FirmwareUpdaterApplication)
