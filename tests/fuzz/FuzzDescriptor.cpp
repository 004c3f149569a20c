// The report-descriptor parser.
#include "HidDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    (void)ParseReportDescriptor(data, size);
    return 0;
}
