#include "tests/support/Campaign.h"

#include "protocol/Device.h"
#include "station/Unit.h"
#include "tests/support/FakeHid.h"
#include "tests/support/VirtualDevice.h"

#include <random>

namespace pello {

namespace {

// A field and a code any unit could be given: printable ASCII of the right length.
ProgramFields DrawFields(uint64_t seed)
{
    std::mt19937_64 rng(seed ^ 0x9E3779B97F4A7C15ull);
    std::uniform_int_distribution<int> digit('0', '9'), letter('A', 'Z');
    std::string serial = "12";
    while (serial.size() < device::kSerialFieldLength) serial += static_cast<char>(serial.size() < 6 ? letter(rng) : digit(rng));
    std::string code;
    while (code.size() < device::kCodeFieldLength) code += static_cast<char>(letter(rng));
    return {serial, code};
}

// Searches as an operator would (up to three presses), then programs.
void SearchAndApply(CSnToolWorkflow& flow, Link link, const ProgramFields& fields, CampaignRun* run)
{
    for (int press = 0; press < 3 && !run->found; ++press) {
        run->found = flow.Search(link).found;
    }
    if (!run->found) {
        return;
    }
    const ProgramResult programmed = flow.Program(fields, ReadBack::Yes, [] { return false; });
    run->success = programmed.Succeeded();
    run->freed = station::AfterSequence(programmed) == storage::SerialState::Free;
    if (const StepResult* failed = programmed.applied.Failed()) {
        run->failure = DescribeFailure(*failed);
    }
}

} // namespace

CampaignRun RunCampaignSeed(Link link, uint64_t seed)
{
    CampaignRun run;
    run.seed = seed;
    const ProgramFields fields = DrawFields(seed);
    const uint32_t deadline = link == Link::Rs232 ? device::kComReplyTimeLimitMs : device::kHidReplyDeadlineMs;
    CVirtualDevice device(seed, deadline);
    CSnToolWorkflow flow;
    if (link == Link::Rs232) {
        CVirtualClock clock(device);
        flow.SetClock(&clock);
        flow.UsePortOnly(clock.Path());
        SearchAndApply(flow, link, fields, &run);
    } else {
        CFakeHid hid;
        hid.m_clock.m_realSliceMs = 0; // the read-back's pauses cost no real time
        hid.AddNode(0, device::kVendorId, device::kProductId, VendorDescriptor8()).virtualDevice = &device;
        flow.SetHid(&hid, hid.Paths());
        SearchAndApply(flow, link, fields, &run);
    }
    run.holds = device.Holds(fields.serial, fields.code);
    run.carries = device.m_model.m_sid == fields.serial;
    run.log = device.Log();
    return run;
}

CampaignTotals RunCampaign(Link link, uint64_t first, int count)
{
    CampaignTotals totals;
    for (uint64_t seed = first; seed < first + static_cast<uint64_t>(count); ++seed) {
        CampaignRun run = RunCampaignSeed(link, seed);
        ++totals.runs;
        totals.found += run.found ? 1 : 0;
        totals.successes += run.success ? 1 : 0;
        if (run.Violates()) {
            totals.violations.push_back(std::move(run));
        }
    }
    return totals;
}

} // namespace pello
