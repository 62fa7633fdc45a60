// The register chip of the jack-sensing model: six 16-bit registers written by 4-byte HID
// output reports (SET_REPORT {0x20, value low, value high, register}) and a 3-byte input report
// (GET_REPORT) whose byte 0 bit 4 is the jack-sense line. It records every register write in
// order and can be given a script of jack-sense answers, one per report read.
#pragma once

#include "sim/device/device_model.h"

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace sim
{

struct ChipWrite
{
    uint8_t Register = 0;
    uint16_t Value = 0;
};

class RegisterChip
{
public:
    static constexpr size_t kRegisters = 6;

    explicit RegisterChip(uint8_t InterfaceNumber) : m_interface(InterfaceNumber) {}

    // A class request to the chip's interface.
    bool Handles(const SetupPacket& Setup) const;
    ControlResult Handle(const SetupPacket& Setup, const std::vector<uint8_t>& OutData);

    // The device's own view. Thread-safe.
    std::vector<ChipWrite> Writes() const;
    void ClearWrites();
    uint16_t Register(uint8_t Index) const;
    size_t ReportReads() const;
    // The jack-sense line (report byte 0 bit 4) from now on.
    void SetSenseBit(bool Set);
    // The line for the next reads, one entry each; after the last the line keeps its value.
    void ScriptSenseBits(const std::vector<bool>& Bits);

private:
    ControlResult SetReport(const std::vector<uint8_t>& OutData);
    ControlResult GetReport(const SetupPacket& Setup);

    const uint8_t m_interface;
    mutable std::mutex m_lock;
    std::array<uint16_t, kRegisters> m_registers{};
    std::vector<ChipWrite> m_writes;
    bool m_senseBit = true;
    std::deque<bool> m_script;
    size_t m_reads = 0;
};

} // namespace sim
