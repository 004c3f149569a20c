#pragma once
// pellomatic-devsim: the device, or a line of units, on a pseudo-terminal or
// as a virtual USB HID device.

#include "protocol/Device.h"

#include <string>
#include <vector>

namespace pello {

struct SimOptions {
    std::string linkPath;  // a symbolic link to make to the terminal
    int comNumber = -1;    // the per-user alias COMn to make
    bool usb = false;      // a virtual USB HID device instead of a terminal
    std::string ttyPath;   // serve on this terminal instead of a new pseudo-terminal
    std::string sid = device::kInitialSerialField;
    std::string pabc = device::kInitialCodeField;
    std::string statePath; // both fields kept here across runs
    std::vector<std::string> faults;
    long replyDelayMs = 0;
    bool wireSpeed = false;
    bool verbose = false;
    bool checkLine = false; // drop bytes received while the terminal is not at 2400 8N2
    // A production line: `units` units one after another (0: one device that
    // never leaves), each leaving `holdSeconds` after it was programmed, the
    // line empty for `gapSeconds` between two.
    int units = 0;
    double gapSeconds = 1.0;
    double holdSeconds = -1; // -1: as long as the gap
    std::vector<std::string> unitFields;
    bool blankUnits = false;  // every unit arrives with `sid`, as new units do
    double gapMaxSeconds = -1; // gaps drawn between gapSeconds and this
    int chaosPercent = 0;     // frames misbehaved on at random
    uint64_t seed = 1;
    std::string ledgerPath;   // a line per unit that leaves: what it carries
};

// Runs until SIGINT, SIGTERM or SIGHUP. Returns the exit code.
int RunSimulator(const SimOptions& options);

} // namespace pello
