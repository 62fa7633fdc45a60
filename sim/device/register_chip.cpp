// RegisterChip: the HID reports of the register chip.
#include "sim/device/register_chip.h"

namespace sim
{

namespace
{

constexpr uint8_t kClassInterfaceOut = 0x21;
constexpr uint8_t kClassInterfaceIn = 0xA1;
constexpr uint8_t kGetReport = 0x01;
constexpr uint8_t kSetReport = 0x09;
constexpr uint16_t kOutputReport = 0x0200;
constexpr uint16_t kInputReport = 0x0100;
constexpr uint8_t kRegisterWriteCommand = 0x20;
constexpr uint8_t kSenseBit = 0x10;
constexpr size_t kInputReportBytes = 3;

ControlResult Stall()
{
    return ControlResult{ControlOutcome::Stall, {}, 0};
}

} // namespace

bool RegisterChip::Handles(const SetupPacket& setup) const
{
    return (setup.RequestType == kClassInterfaceOut || setup.RequestType == kClassInterfaceIn) &&
           uint8_t(setup.Index) == m_interface;
}

ControlResult RegisterChip::Handle(const SetupPacket& setup, const std::vector<uint8_t>& outData)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (setup.RequestType == kClassInterfaceOut && setup.Request == kSetReport &&
        setup.Value == kOutputReport)
    {
        return SetReport(outData);
    }
    if (setup.RequestType == kClassInterfaceIn && setup.Request == kGetReport && setup.Value == kInputReport)
    {
        return GetReport(setup);
    }
    return Stall();
}

// A report that is not a register write of a register the chip has is refused.
ControlResult RegisterChip::SetReport(const std::vector<uint8_t>& outData)
{
    if (outData.size() != 4 || outData[0] != kRegisterWriteCommand || outData[3] >= kRegisters)
    {
        return Stall();
    }
    ChipWrite write;
    write.Register = outData[3];
    write.Value = uint16_t(outData[1] | outData[2] << 8);
    m_registers[write.Register] = write.Value;
    m_writes.push_back(write);
    return ControlResult{ControlOutcome::Ack, {}, 0};
}

ControlResult RegisterChip::GetReport(const SetupPacket& setup)
{
    if (!m_script.empty())
    {
        m_senseBit = m_script.front();
        m_script.pop_front();
    }
    ++m_reads;
    std::vector<uint8_t> report(kInputReportBytes, 0);
    report[0] = m_senseBit ? kSenseBit : 0;
    if (report.size() > setup.Length)
    {
        report.resize(setup.Length);
    }
    return ControlResult{ControlOutcome::Ack, report, 0};
}

std::vector<ChipWrite> RegisterChip::Writes() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_writes;
}

void RegisterChip::ClearWrites()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_writes.clear();
}

uint16_t RegisterChip::Register(uint8_t index) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return index < kRegisters ? m_registers[index] : 0;
}

size_t RegisterChip::ReportReads() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_reads;
}

void RegisterChip::SetSenseBit(bool set)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_script.clear();
    m_senseBit = set;
}

void RegisterChip::ScriptSenseBits(const std::vector<bool>& bits)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_script.assign(bits.begin(), bits.end());
}

} // namespace sim
