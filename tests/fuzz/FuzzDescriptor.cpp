// The report-descriptor parser.
#include "link/HidDescriptor.h"

using namespace pello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    (void)ParseReportDescriptor(data, size);
    return 0;
}
