// Bounded reads of descriptor bytes for the simulator. A walk over a configuration stops at the
// first descriptor whose bLength is below 2 or that runs past the bytes given, as the host's
// parser does, and a field read past a descriptor's own bLength answers 0 instead of the next
// descriptor's bytes (or memory beyond the buffer). Callers still check a descriptor's length
// before they take a field as present; the bound keeps a hostile dump from reaching further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim
{

class DescriptorSpan
{
public:
    DescriptorSpan() = default;
    DescriptorSpan(const uint8_t* Data, size_t Length) : m_data(Data), m_length(Data ? Length : 0) {}
    explicit DescriptorSpan(const std::vector<uint8_t>& Bytes) : DescriptorSpan(Bytes.data(), Bytes.size()) {}

    size_t Length() const { return m_length; }
    bool Has(size_t Bytes) const { return m_length >= Bytes; }
    const uint8_t* begin() const { return m_data; }
    const uint8_t* end() const { return m_data + m_length; }

    uint8_t At(size_t Offset) const { return Offset < m_length ? m_data[Offset] : 0; }
    uint8_t Type() const { return At(1); }
    uint8_t Subtype() const { return At(2); }
    uint16_t Le16(size_t Offset) const { return uint16_t(At(Offset) | At(Offset + 1) << 8); }
    uint32_t Le24(size_t Offset) const { return uint32_t(Le16(Offset) | uint32_t(At(Offset + 2)) << 16); }
    uint32_t Le32(size_t Offset) const { return uint32_t(Le16(Offset) | uint32_t(Le16(Offset + 2)) << 16); }

private:
    const uint8_t* m_data = nullptr;
    size_t m_length = 0;
};

// The descriptors of a configuration (or any run of descriptors) in order, each as long as its
// bLength; the walk ends before a descriptor with bLength below 2 or one that runs past Bytes.
std::vector<DescriptorSpan> SplitDescriptors(const std::vector<uint8_t>& Bytes);

} // namespace sim
