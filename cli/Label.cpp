// `pellomatic-cli label SERIAL`: a programmed serial's label again, its values
// from the record.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"
#include "label/Label.h"

namespace pello::cli {

int RunLabel(const LabelOptions& options, const CommonOptions& common)
{
    const label::CLabelPrinter printer(options.label, options.printer);
    if (!printer.Problem().empty()) {
        Complain("label: " + printer.Problem());
        return kUsage;
    }
    CRecordKeeper keeper(common);
    if (const int rc = keeper.Open(true); rc != kOk) {
        return rc;
    }
    std::optional<storage::ProgrammingRecord> row;
    try {
        storage::RecordFilter filter;
        filter.serial = options.serial;
        filter.outcome = "programmed";
        const auto rows = keeper.Store().LatestRecords(filter, 1);
        if (!rows.empty()) row = rows.front();
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
    if (!row) {
        Complain("label: the record shows no unit programmed with " + options.serial);
        return kLabelNotPrinted;
    }
    const std::string problem = printer.Print({row->serial.empty() ? options.serial : row->serial, row->fieldWritten,
                                               row->codeWritten, row->batch, row->time, row->station,
                                               row->operatorName});
    if (!problem.empty()) {
        Complain("label not printed: " + problem);
        return kLabelNotPrinted;
    }
    Print("label of " + options.serial + " sent to " + options.printer);
    return kOk;
}

} // namespace pello::cli
