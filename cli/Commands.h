#pragma once
// The command line's commands; each returns its exit code.

#include "cli/Options.h"

namespace pello::cli {

int RunSearch(const SearchOptions& options, const CommonOptions& common);
int RunApply(const ApplyOptions& options, const CommonOptions& common);
int RunFrame(const FrameOptions& options);
int RunPorts(const PortsOptions& options);

} // namespace pello::cli
