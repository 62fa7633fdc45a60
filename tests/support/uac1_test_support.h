// Rig of the class-1 audio function tests: the one driver rig on a bare adapter with the
// built-in creators (so the real CUac1Device serves class-1 devices), readers of its nodes,
// streams and formats, and a builder of class-1 descriptor sets for profiles of our own.
#pragma once

#include <gtest/gtest.h>

#include "support/driver_rig.h"

#include "sim/device/audio_control.h"
#include "sim/device/status_endpoint.h"

#include "driver/function/uac1/uac1_device.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/wave/usb_audio_stream.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace u1t
{

// Control-change records seen on the device's callback object.
struct ChangeLog
{
    std::mutex Lock;
    std::vector<ULONG> NodeIds;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* log = static_cast<ChangeLog*>(context);
        auto* record = static_cast<AudioHalNotification*>(argument1);
        if (record->Class == AUDIO_HAL_CLASS_CONTROL_CHANGE && record->Event == AUDIO_HAL_EVENT_VALUE_CHANGED)
        {
            std::lock_guard<std::mutex> guard(log->Lock);
            log->NodeIds.push_back(record->NodeId);
        }
    }
    std::vector<ULONG> Take()
    {
        std::lock_guard<std::mutex> guard(Lock);
        std::vector<ULONG> ids;
        ids.swap(NodeIds);
        return ids;
    }
};

class Uac1Rig : public rig::DriverRig
{
protected:
    // The function object, without a reference of the test's own.
    CUac1Device* Function()
    {
        IUsbAudioFunction* function = nullptr;
        if (!NT_SUCCESS(
                m_pCommon->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&function))))
            return nullptr;
        function->Release();
        return static_cast<CUac1Device*>(function);
    }

    struct NodeInfo
    {
        ULONG Id;
        ULONG Kind;
        std::vector<ULONG> Sources;
    };
    static NodeInfo Describe(ITopologyNode* node)
    {
        NodeInfo info{node->GetId(), node->GetKind(), {}};
        ULONG count = node->GetSourceCount();
        info.Sources.resize(count);
        if (count)
            node->GetSourceIdList(&count, info.Sources.data());
        return info;
    }
    std::vector<NodeInfo> Nodes()
    {
        std::vector<NodeInfo> nodes;
        for (ULONG i = 0; i < m_pCommon->GetNodeCount(); ++i)
        {
            ITopologyNode* node = nullptr;
            EXPECT_EQ(m_pCommon->GetNode(i, &node), STATUS_SUCCESS);
            if (node)
                nodes.push_back(Describe(node));
        }
        return nodes;
    }
    std::vector<NodeInfo> StreamNodes(IStreamEngine* stream)
    {
        std::vector<NodeInfo> nodes;
        for (ULONG i = 0; i < stream->GetNodeCount(); ++i)
        {
            ITopologyNode* node = nullptr;
            EXPECT_EQ(stream->GetNode(i, &node), STATUS_SUCCESS);
            if (node)
                nodes.push_back(Describe(node));
        }
        return nodes;
    }
    IStreamEngine* Stream(ULONG index)
    {
        IStreamEngine* stream = nullptr;
        EXPECT_EQ(m_pCommon->GetStream(index, &stream), STATUS_SUCCESS);
        return stream;
    }
    std::vector<WAVEFORMATEXTENSIBLE> Formats(IStreamEngine* stream)
    {
        std::vector<WAVEFORMATEXTENSIBLE> formats(stream->GetFormatCount());
        for (ULONG i = 0; i < formats.size(); ++i)
            EXPECT_EQ(stream->GetFormat(i, &formats[i]), STATUS_SUCCESS);
        return formats;
    }
    // Class GET_CUR requests to an entity of interface 0 that the device saw.
    size_t GetCurCount(uint8_t entity, int selector = -1)
    {
        return Requests(0xA1, 0x81, entity, selector).size();
    }
};

// ---- Descriptor sets of our own ----

inline std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char byte[4];
    for (uint8_t b : bytes)
    {
        std::snprintf(byte, sizeof(byte), "%02X ", b);
        text += byte;
    }
    return text;
}

// Builds a class-1 function: device descriptor, configuration with one audio-control interface
// (the class-specific descriptors given) and the streaming interfaces given (alternate 0 then
// the descriptors of alternate 1). Lengths and counts are filled in.
struct Uac1Builder
{
    uint16_t VendorId = 0xFFF1;
    uint16_t ProductId = 0x0101;
    std::vector<std::vector<uint8_t>> Control;              // class-specific AC descriptors
    std::vector<std::vector<uint8_t>> ControlEndpoints;     // endpoints of the AC interface
    std::vector<std::vector<std::vector<uint8_t>>> Streams; // per AS interface: alt 1's descriptors

    static std::vector<uint8_t> InputTerminal(uint8_t id, uint16_t type, uint8_t channels)
    {
        return {
            12, 0x24, 2, id, uint8_t(type), uint8_t(type >> 8), 0, channels, uint8_t(channels == 2 ? 3 : 0),
            0,  0,    0};
    }
    static std::vector<uint8_t> OutputTerminal(uint8_t id, uint16_t type, uint8_t source)
    {
        return {9, 0x24, 3, id, uint8_t(type), uint8_t(type >> 8), 0, source, 0};
    }
    // Master mute only, one-byte bitmaps.
    static std::vector<uint8_t> MuteUnit(uint8_t id, uint8_t source)
    {
        return {8, 0x24, 6, id, source, 1, 0x01, 0};
    }
    static std::vector<uint8_t> Selector(uint8_t id, std::vector<uint8_t> sources)
    {
        std::vector<uint8_t> d = {uint8_t(6 + sources.size()), 0x24, 5, id, uint8_t(sources.size())};
        d.insert(d.end(), sources.begin(), sources.end());
        d.push_back(0);
        return d;
    }
    static std::vector<uint8_t> General(uint8_t terminal, uint16_t tag = 1)
    {
        return {7, 0x24, 1, terminal, 1, uint8_t(tag), uint8_t(tag >> 8)};
    }
    static std::vector<uint8_t> Format(uint8_t type, uint8_t channels, uint8_t subframe, uint8_t bits,
                                       std::vector<uint32_t> rates, bool continuous = false)
    {
        std::vector<uint8_t> d = {0,        0x24,     2,    type,
                                  channels, subframe, bits, uint8_t(continuous ? 0 : rates.size())};
        for (uint32_t rate : rates)
        {
            d.push_back(uint8_t(rate));
            d.push_back(uint8_t(rate >> 8));
            d.push_back(uint8_t(rate >> 16));
        }
        d[0] = uint8_t(d.size());
        return d;
    }
    // The driver offers only formats whose packets fit wMaxPacketSize; 1023 bytes is the most a
    // full-speed isochronous endpoint takes.
    static constexpr uint16_t kFullSpeedMaxPacket = 1023;
    static std::vector<uint8_t> IsoEndpoint(uint8_t address, uint16_t maxPacket = 0xC4)
    {
        return {9, 5, address, 0x09, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 1, 0, 0};
    }

    std::vector<uint8_t> Configuration() const
    {
        std::vector<uint8_t> ac;
        for (const auto& d : Control)
            ac.insert(ac.end(), d.begin(), d.end());
        std::vector<uint8_t> header = {uint8_t(8 + Streams.size()), 0x24, 1, 0, 1, 0, 0,
                                       uint8_t(Streams.size())};
        for (size_t i = 0; i < Streams.size(); ++i)
            header.push_back(uint8_t(i + 1));
        uint16_t acTotal = uint16_t(header.size() + ac.size());
        header[5] = uint8_t(acTotal);
        header[6] = uint8_t(acTotal >> 8);
        std::vector<uint8_t> cfg = {9, 2, 0, 0, uint8_t(1 + Streams.size()), 1, 0, 0x80, 50};
        std::vector<uint8_t> acInterface = {9, 4, 0, 0, uint8_t(ControlEndpoints.size()), 1, 1, 0, 0};
        cfg.insert(cfg.end(), acInterface.begin(), acInterface.end());
        cfg.insert(cfg.end(), header.begin(), header.end());
        cfg.insert(cfg.end(), ac.begin(), ac.end());
        for (const auto& e : ControlEndpoints)
            cfg.insert(cfg.end(), e.begin(), e.end());
        for (size_t i = 0; i < Streams.size(); ++i)
        {
            uint8_t number = uint8_t(i + 1);
            std::vector<uint8_t> alt0 = {9, 4, number, 0, 0, 1, 2, 0, 0};
            size_t endpoints = 0;
            for (const auto& d : Streams[i])
                endpoints += d.size() > 1 && d[1] == 5;
            std::vector<uint8_t> alt1 = {9, 4, number, 1, uint8_t(endpoints), 1, 2, 0, 0};
            cfg.insert(cfg.end(), alt0.begin(), alt0.end());
            cfg.insert(cfg.end(), alt1.begin(), alt1.end());
            for (const auto& d : Streams[i])
                cfg.insert(cfg.end(), d.begin(), d.end());
        }
        cfg[2] = uint8_t(cfg.size());
        cfg[3] = uint8_t(cfg.size() >> 8);
        return cfg;
    }

    std::string Profile(const std::string& extra = "") const
    {
        std::vector<uint8_t> device = {18,
                                       1,
                                       0x10,
                                       1,
                                       0,
                                       0,
                                       0,
                                       64,
                                       uint8_t(VendorId),
                                       uint8_t(VendorId >> 8),
                                       uint8_t(ProductId),
                                       uint8_t(ProductId >> 8),
                                       0,
                                       1,
                                       1,
                                       2,
                                       3,
                                       1};
        return "name built\nspeed full\ndescriptors\n" + Hex(device) + "\n" + Hex(Configuration()) +
               "\nend\nstring 1 \"Uacsim\"\nstring 2 \"Built\"\nstring 3 \"B0001\"\nstring 0x50 "
               "\"0100-B\"\n" +
               extra;
    }
};

// A speaker: USB streaming -> mute unit -> speaker, one render interface.
inline Uac1Builder SpeakerSet()
{
    Uac1Builder b;
    b.Control = {Uac1Builder::InputTerminal(1, 0x0101, 2), Uac1Builder::MuteUnit(2, 1),
                 Uac1Builder::OutputTerminal(3, 0x0301, 2)};
    b.Streams = {{Uac1Builder::General(1), Uac1Builder::Format(1, 2, 2, 16, {44100, 48000}),
                  Uac1Builder::IsoEndpoint(0x01)}};
    return b;
}

} // namespace u1t
