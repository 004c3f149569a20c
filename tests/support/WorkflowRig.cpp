#include "tests/support/WorkflowRig.h"

#include "protocol/Device.h"
#include "tests/support/TestEnv.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace pello {

CWorkflowRig::CWorkflowRig(CSnToolWorkflow& flow)
    : m_dir(MakeScratchDir("rig")), m_snPath(m_dir + "/SN.txt"), m_flow(flow)
{
    m_flow.SetClock(&m_hid.m_clock);
    m_flow.SetHid(&m_hid, m_hid.Paths());
    m_flow.SetSnFile(m_snPath);
    // The machine's own serial ports are never reached.
    for (int n = 0; n < device::kComPortCount; ++n) {
        Alias(n, m_dir + "/nothing-" + std::to_string(n));
    }
    WriteSn("0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n");
}

CWorkflowRig::~CWorkflowRig()
{
    m_devices.clear();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

CPtyDevice& CWorkflowRig::DeviceOn(int n)
{
    m_devices.push_back(std::make_unique<CPtyDevice>());
    Alias(n, m_devices.back()->Path());
    return *m_devices.back();
}

FakeHidNode& CWorkflowRig::UsbDevice() { return m_hid.AddNode(0, device::kVendorId, device::kProductId, VendorDescriptor8()); }

void CWorkflowRig::Alias(int n, const std::string& path) { m_flow.PortResolver().SetAlias(n, path); }

void CWorkflowRig::WriteSn(const std::string& content) { std::ofstream(m_snPath, std::ios::binary) << content; }

void CWorkflowRig::RemoveSn() { std::remove(m_snPath.c_str()); }

} // namespace pello
