// The end-to-end rig: plug, load, add, start, and a teardown that checks the driver left
// nothing behind.
#include "e2e_rig.h"

#include "object.h"
#include "plat_debug.h"
#include "plat_io.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"

#include "driver/core/device_extension.h"
#include "driver/adapter/driver_entry.h"
#include "driver/core/stream_engine_if.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <set>

namespace e2e
{

void DriverRig::StartOk()
{
    NTSTATUS status = Start();
    ASSERT_EQ(status, STATUS_SUCCESS) << "driver output:\n" << plat::DebugLogText();
    // A device with a status endpoint re-reads every unit once its status thread runs, on its
    // own time after the start; scenarios begin after that sweep, as a user's would.
    RunFor(100 * kMillisecond);
}

// Follows the connections away from the pin (upstream from an output pin, downstream from an
// input pin) breadth first.
ULONG DriverRig::NodeUpstreamOf(const GUID& PinCategory, const GUID& NodeType)
{
    std::vector<sim::PinInfo> pins;
    std::vector<sim::NodeInfo> nodes;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    sim::ControlPanel& panel = Panel();
    if (!NT_SUCCESS(panel.GetPins(&pins)) || !NT_SUCCESS(panel.GetNodes(&nodes)) ||
        !NT_SUCCESS(panel.GetConnections(&connections)))
        return ~0u;
    for (const sim::PinInfo& pin : pins)
    {
        if (!pin.HasCategory || pin.Category != PinCategory)
            continue;
        const bool upstream = pin.DataFlow == KSPIN_DATAFLOW_OUT;
        std::vector<std::pair<ULONG, ULONG>> frontier = {{PCFILTER_NODE, pin.Id}};
        std::set<ULONG> seen;
        while (!frontier.empty())
        {
            std::vector<std::pair<ULONG, ULONG>> next;
            for (const auto& at : frontier)
                for (const KSTOPOLOGY_CONNECTION& c : connections)
                {
                    const bool hit = upstream ? (c.ToNode == at.first &&
                                                 (at.first != PCFILTER_NODE || c.ToNodePin == at.second))
                                              : (c.FromNode == at.first &&
                                                 (at.first != PCFILTER_NODE || c.FromNodePin == at.second));
                    const ULONG other = upstream ? c.FromNode : c.ToNode;
                    if (!hit || other == PCFILTER_NODE || !seen.insert(other).second)
                        continue;
                    if (other < nodes.size() && nodes[other].Type == NodeType)
                        return other;
                    next.push_back({other, 0});
                }
            frontier = next;
        }
        return ~0u;
    }
    return ~0u;
}

std::string OfferedFormats(PADAPTERCOMMON Adapter)
{
    std::string offers;
    for (ULONG i = 0; Adapter && i < Adapter->GetStreamCount(); ++i)
    {
        IStreamEngine* stream = nullptr;
        WCHAR name[STREAM_NAME_BUFFER_CHARS] = {};
        if (!NT_SUCCESS(Adapter->GetStream(i, &stream)) || !stream || !NT_SUCCESS(stream->GetName(name)))
            return offers + " (stream " + std::to_string(i) + " unreadable)";
        const std::u16string wide(name);
        const std::string endpoint(wide.begin(), wide.end());
        std::string shape;
        for (ULONG f = 0; f < stream->GetFormatCount(); ++f)
        {
            WAVEFORMATEXTENSIBLE format{};
            if (!NT_SUCCESS(stream->GetFormat(f, &format)))
                return offers + " (format unreadable)";
            char text[64];
            std::snprintf(text, sizeof(text), "%s %ux%u", endpoint.c_str(), format.Format.nChannels,
                          format.Format.wBitsPerSample);
            std::string next = text;
            if (format.Samples.wValidBitsPerSample != format.Format.wBitsPerSample)
                next += "/" + std::to_string(format.Samples.wValidBitsPerSample);
            if (format.SubFormat != KSDATAFORMAT_SUBTYPE_PCM)
            {
                std::snprintf(text, sizeof(text), " #%04X", unsigned(format.SubFormat.Data1));
                next += text;
            }
            std::snprintf(text, sizeof(text), " 0x%X:", unsigned(format.dwChannelMask));
            next += text;
            if (next != shape)
                offers += (offers.empty() ? "" : " | ") + next;
            shape = next;
            offers += " " + std::to_string(format.Format.nSamplesPerSec);
        }
    }
    return offers;
}

int32_t DriverRig::DeviceValue(uint8_t Entity, uint8_t Selector, uint8_t Channel)
{
    int32_t value = 0;
    EXPECT_TRUE(Controls().ControlValue(Entity, Selector, Channel, &value));
    return value;
}

} // namespace e2e
