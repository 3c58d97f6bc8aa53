#pragma once

#include "app/MainWindow.h"
#include "tools/simulator/InProcessMidiPorts.h"
#include "ui/MainWindowComponent.h"

/** The real window and its controller, on in-process ports with nothing
    plugged in. Built and destroyed in the program's order: the window goes
    before the component. Message thread only. */
struct UnpluggedWindow
{
    explicit UnpluggedWindow (FirmwarePackage::Kind kind = FirmwarePackage::Kind::release)
        : controller (&midiManager, &items, kind) {}

    InProcessMidiPorts ports;
    MidiManager midiManager { ports };
    juce::OwnedArray<FirmwareItem> items;
    Controller controller;
    MainWindowComponent component { &controller };
    MainWindow window { &component };
};
