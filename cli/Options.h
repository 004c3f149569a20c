#pragma once
// What the command line was asked to do, once parsed.

#include "cmdline/Device.h"
#include "core/Workflow.h"

#include <string>

namespace pello::cli {

struct CommonOptions {
    bool trace = false;
    std::string db;          // --db or PELLOMATIC_DB; empty: the default SQLite file
    std::string station;     // --station; empty: the host name
    std::string operatorName; // --operator or PELLOMATIC_OPERATOR; "-" asks for it
    bool noRecord = false;   // --no-record or PELLOMATIC_RECORD=off
};

struct SearchOptions {
    DeviceChoice device;
    bool json = false;
};

struct ApplyOptions {
    DeviceChoice device;
    std::string file = "SN.txt";
    bool verify = true; // --no-verify clears it
    bool dryRun = false;
    std::string batch;        // program the next free serial of this batch instead
    bool allowDuplicate = false;
};

struct BatchOptions {
    std::string action;       // create, list, show, export, resolve
    std::string name;
    std::string first;
    uint64_t count = 0;
    std::string code;
    std::string blank = "1400000000000000000000"; // what a new unit carries
    std::string format = "csv";
    std::string serial;
    bool free = false;
    bool spoiled = false;
};

struct StationCliOptions {
    DeviceChoice device;
    std::string batch;
    int count = 0;
    bool json = false;
    double interval = 1.0; // seconds between two looks over RS232
    std::string label, printer; // what to print after every pass, and where
};

struct LogOptions {
    std::string since;
    std::string serial;
    std::string format = "text";
};

struct StatsOptions {
    std::string batch, since, until;
    std::string by;              // "", station, batch, operator, hour, day
    std::string format = "text"; // text, csv, json
};

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";
    std::string token;           // required for any address but 127.0.0.1
    int offlineAfter = 30;       // seconds a station may go unseen
};

struct LabelOptions {
    std::string serial, label, printer;
};

struct FrameOptions {
    std::string kind; // qsid, ate1, sid, pabc, qboot
    std::string field;
};

struct PortsOptions {
    std::string port;
    bool json = false;
};

} // namespace pello::cli
