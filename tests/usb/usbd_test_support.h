// Shared pieces of the USBD helper tests: configuration buffers sized exactly (so that the
// address sanitizer sees any read past them) and an independent walk over descriptor bytes.
#pragma once

#include "usbdlib.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace usbdtest
{

// Bytes on the heap with nothing readable past Size.
class ExactBuffer
{
public:
    ExactBuffer(const uint8_t* data, size_t dataSize, size_t size) : m_size(size), m_bytes(new uint8_t[size])
    {
        std::memset(m_bytes.get(), 0, size);
        std::memcpy(m_bytes.get(), data, dataSize < size ? dataSize : size);
    }
    explicit ExactBuffer(const std::vector<uint8_t>& data)
        : ExactBuffer(data.data(), data.size(), data.size())
    {
    }

    uint8_t* Bytes() const { return m_bytes.get(); }
    size_t Size() const { return m_size; }
    PUSB_CONFIGURATION_DESCRIPTOR Configuration() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_bytes.get());
    }

private:
    size_t m_size;
    std::unique_ptr<uint8_t[]> m_bytes;
};

struct WalkedDescriptor
{
    size_t Offset;
    uint8_t Length;
    uint8_t Type;
};

// The descriptors a careful reader accepts, from Start up to Total: each needs bLength >= 2
// and must end inside Total.
inline std::vector<WalkedDescriptor> Walk(const uint8_t* bytes, size_t total, size_t start = 0)
{
    std::vector<WalkedDescriptor> out;
    size_t pos = start;
    while (pos + 2 <= total)
    {
        uint8_t length = bytes[pos];
        if (length < 2 || pos + length > total)
        {
            break;
        }
        out.push_back({pos, length, bytes[pos + 1]});
        pos += length;
    }
    return out;
}

inline size_t TotalLength(const uint8_t* configuration)
{
    return configuration[2] | configuration[3] << 8;
}

// Interface descriptors long enough to read, in order.
inline std::vector<WalkedDescriptor> Interfaces(const std::vector<WalkedDescriptor>& walked)
{
    std::vector<WalkedDescriptor> out;
    for (const WalkedDescriptor& d : walked)
    {
        if (d.Type == USB_INTERFACE_DESCRIPTOR_TYPE && d.Length >= 9)
        {
            out.push_back(d);
        }
    }
    return out;
}

// Endpoint descriptors between the interface at InterfaceOffset and the next interface.
inline size_t EndpointsAfter(const std::vector<WalkedDescriptor>& walked, size_t interfaceOffset)
{
    size_t count = 0;
    bool inside = false;
    for (const WalkedDescriptor& d : walked)
    {
        if (d.Type == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (inside)
            {
                break;
            }
            inside = d.Offset == interfaceOffset;
        }
        else if (inside && d.Type == USB_ENDPOINT_DESCRIPTOR_TYPE)
        {
            ++count;
        }
    }
    return count;
}

// A small configuration assembled descriptor by descriptor; wTotalLength is filled in last.
class ConfigBuilder
{
public:
    ConfigBuilder() { m_bytes = {9, 2, 0, 0, 0, 1, 0, 0x80, 50}; }
    ConfigBuilder& Interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls, uint8_t sub,
                             uint8_t protocol)
    {
        m_bytes.insert(m_bytes.end(), {9, 4, number, alt, endpoints, cls, sub, protocol, 0});
        if (alt == 0)
        {
            m_bytes[4]++;
        }
        return *this;
    }
    ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket)
    {
        m_bytes.insert(m_bytes.end(),
                       {7, 5, address, attributes, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 1});
        return *this;
    }
    ConfigBuilder& Raw(std::initializer_list<uint8_t> bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    std::vector<uint8_t> Build() const
    {
        std::vector<uint8_t> out = m_bytes;
        out[2] = uint8_t(out.size());
        out[3] = uint8_t(out.size() >> 8);
        return out;
    }

private:
    std::vector<uint8_t> m_bytes;
};

} // namespace usbdtest
