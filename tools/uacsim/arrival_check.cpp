// The arrival check of `play`: the device's stream, piece by piece, against the file.
#include "tools/uacsim/arrival_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace uacsim
{
namespace
{

constexpr size_t kChunkBytes = 64 * 1024;
const uint8_t kSilence[kChunkBytes] = {};

size_t FirstNonZero(const uint8_t* Data, size_t Bytes)
{
    size_t i = 0;
    while (i < Bytes && Data[i] == 0)
        ++i;
    return i;
}

} // namespace

ArrivalCheck::ArrivalCheck(Source Expected, uint64_t ExpectedBytes, uint64_t FirstSound, uint32_t Block,
                           uint32_t Container, Output Out, std::string Reference)
    : m_Expected(std::move(Expected)), m_ExpectedBytes(ExpectedBytes), m_FirstSound(FirstSound),
      m_Block(std::max<uint32_t>(Block, 1)), m_Container(std::max<uint32_t>(Container, 1)),
      m_Out(std::move(Out)), m_Reference(std::move(Reference))
{
    // A silent file is found nowhere: the whole stream is what the device received.
    if (m_FirstSound >= m_ExpectedBytes)
        m_Phase = Phase::Unaligned;
}

void ArrivalCheck::Fail(const std::string& Why)
{
    if (!m_Failed)
        m_Arrival.Why = Why;
    m_Failed = true;
}

void ArrivalCheck::Emit(const uint8_t* Data, size_t Bytes)
{
    while (Bytes > 0)
    {
        const size_t piece = Data ? Bytes : std::min(Bytes, kChunkBytes);
        if (m_Out)
            m_Out(Data, piece);
        if (Data)
            Data += piece;
        Bytes -= piece;
    }
}

void ArrivalCheck::Add(const uint8_t* Got, size_t Bytes)
{
    const uint64_t at = m_Arrival.Received;
    m_Arrival.Received += Bytes;
    switch (m_Phase)
    {
    case Phase::Lead:
    {
        const size_t first = FirstNonZero(Got, Bytes);
        if (first == Bytes)
            return;
        const uint64_t gotFrame = (at + first) / m_Block;
        const uint64_t sentFrame = m_FirstSound / m_Block;
        if (gotFrame < sentFrame)
        {
            Fail("the device received sound before the file has any");
            m_Phase = Phase::Unaligned;
            Emit(nullptr, size_t(at + first));
            Emit(Got + first, Bytes - first);
            return;
        }
        // Align on the first sound: its frame in the device's stream, less its frame in the
        // file. The silence between that place and the sound is part of the comparison.
        m_Arrival.Aligned = true;
        m_Arrival.Offset = (gotFrame - sentFrame) * m_Block;
        m_Phase = Phase::Compare;
        Compare(nullptr, size_t(at + first - m_Arrival.Offset));
        Compare(Got + first, Bytes - first);
        return;
    }
    case Phase::Compare:
        Compare(Got, Bytes);
        return;
    case Phase::Trailer:
        Trail(Got, Bytes);
        return;
    case Phase::Unaligned:
        if (m_FirstSound >= m_ExpectedBytes && FirstNonZero(Got, Bytes) < Bytes)
            Fail("the file is silence and the device received sound");
        Emit(Got, Bytes);
        return;
    }
}

// Got null: Bytes of silence.
void ArrivalCheck::Compare(const uint8_t* Got, size_t Bytes)
{
    const size_t take = size_t(std::min<uint64_t>(Bytes, m_ExpectedBytes - m_Compared));
    Emit(Got, take);
    for (size_t done = 0; done < take;)
    {
        if (m_ChunkAt == m_Chunk.size())
        {
            m_Chunk.resize(kChunkBytes);
            m_Chunk.resize(m_Expected(m_Chunk.data(), kChunkBytes));
            m_ChunkAt = 0;
            if (m_Chunk.empty())
                break; // the file ended early; Finish counts what arrived
        }
        const size_t piece = std::min(take - done, m_Chunk.size() - m_ChunkAt);
        const bool same = Got ? std::memcmp(Got + done, &m_Chunk[m_ChunkAt], piece) == 0
                              : FirstNonZero(&m_Chunk[m_ChunkAt], piece) == piece;
        for (size_t i = 0; i < piece && !same && !m_Failed; ++i)
        {
            const uint8_t got = Got ? Got[done + i] : 0;
            const uint8_t sent = m_Chunk[m_ChunkAt + i];
            if (got == sent)
                continue;
            const uint64_t index = m_Compared + done + i;
            char detail[200];
            std::snprintf(detail, sizeof(detail),
                          "first difference at frame %llu, channel %u: byte 0x%02X where %s has 0x%02X",
                          static_cast<unsigned long long>(index / m_Block),
                          unsigned(index % m_Block / m_Container), got, m_Reference.c_str(), sent);
            Fail(detail);
        }
        m_ChunkAt += piece;
        done += piece;
    }
    m_Compared += take;
    if (m_Compared == m_ExpectedBytes)
    {
        m_Phase = Phase::Trailer;
        Trail(Got ? Got + take : nullptr, Bytes - take);
    }
}

void ArrivalCheck::Trail(const uint8_t* Got, size_t Bytes)
{
    if (Got && FirstNonZero(Got, Bytes) < Bytes)
        Fail("sound after the end of the file");
}

Arrival ArrivalCheck::Finish()
{
    switch (m_Phase)
    {
    case Phase::Lead:
        Fail("the device received only silence");
        Emit(nullptr, size_t(m_Arrival.Received));
        break;
    case Phase::Compare:
        // A short stream says so, whatever differed in the part that came.
        m_Arrival.Why = "the device received " +
                        std::to_string((m_Arrival.Received - m_Arrival.Offset) / m_Block) +
                        " of the file's " + std::to_string(m_ExpectedBytes / m_Block) + " frames";
        m_Failed = true;
        break;
    case Phase::Trailer:
        break;
    case Phase::Unaligned:
        if (!m_Failed && m_Arrival.Received < m_ExpectedBytes)
            Fail("the device received " + std::to_string(m_Arrival.Received / m_Block) + " of the file's " +
                 std::to_string(m_ExpectedBytes / m_Block) + " frames");
        break;
    }
    m_Arrival.Exact = !m_Failed;
    return m_Arrival;
}

} // namespace uacsim
