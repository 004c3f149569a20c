#pragma once
// The command line's commands; each returns its exit code.

#include "cli/Options.h"

#include <optional>
#include <string>

namespace pello::cli {

int RunSearch(const SearchOptions& options, const CommonOptions& common);
int RunApply(const ApplyOptions& options, const CommonOptions& common);
int RunFrame(const FrameOptions& options);
int RunPorts(const PortsOptions& options);
int RunBatch(const BatchOptions& options, const CommonOptions& common);
int RunLog(const LogOptions& options, const CommonOptions& common);
int RunStation(const StationCliOptions& options, const CommonOptions& common);
int RunStats(const StatsOptions& options, const CommonOptions& common);
int RunServe(const ServeOptions& options, const CommonOptions& common);
int RunLabel(const LabelOptions& options, const CommonOptions& common);

// "2026-12-07", "2026-12-07T09:30" and the like as the record's UTC time
// form; nullopt when it is none of them.
std::optional<std::string> NormalizeSince(const std::string& text);

} // namespace pello::cli
