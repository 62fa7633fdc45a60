// Where a played file lies in the device's stream, found while the stream arrives: after a lead
// of silence, followed by the silence the engine feeds once the file ends. Neither the file nor
// the stream is held whole: the expected bytes are read as the comparison reaches them, and the
// part of the stream an output file gets is handed on as soon as it is known.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace uacsim
{

struct Arrival
{
    bool Exact = false;
    bool Aligned = false;  // the file's first sound was found in the stream
    uint64_t Offset = 0;   // bytes of the lead
    uint64_t Received = 0; // bytes of the whole stream
    std::string Why;       // when not exact
};

class ArrivalCheck
{
public:
    // Fills To with up to Bytes of what the device should receive, in its own layout; fewer at
    // the end.
    using Source = std::function<size_t(uint8_t* To, size_t Bytes)>;
    // Gets the stream's bytes that the output file holds: the file's span of it once the file's
    // first sound was found, else all of it. Data is null for Bytes of silence.
    using Output = std::function<void(const uint8_t* Data, size_t Bytes)>;

    // ExpectedBytes of expected stream; its first nonzero byte at FirstSound (ExpectedBytes
    // when it is silence); Block and Container: the stream's frame and sample sizes; Reference:
    // what the expected stream is, for the report of a difference.
    ArrivalCheck(Source Expected, uint64_t ExpectedBytes, uint64_t FirstSound, uint32_t Block,
                 uint32_t Container, Output Out, std::string Reference = "the file");

    void Add(const uint8_t* Got, size_t Bytes);
    Arrival Finish();

private:
    enum class Phase
    {
        Lead,      // only silence so far
        Compare,   // aligned: each byte against the expected one
        Trailer,   // past the file: silence only
        Unaligned, // the file is not in the stream; the stream goes on as it is
    };

    void Align(const uint8_t* Got, size_t Bytes);
    void Compare(const uint8_t* Got, size_t Bytes);
    void Trail(const uint8_t* Got, size_t Bytes);
    void Emit(const uint8_t* Data, size_t Bytes);
    void Fail(const std::string& Why);

    Source m_Expected;
    const uint64_t m_ExpectedBytes;
    const uint64_t m_FirstSound;
    const uint32_t m_Block;
    const uint32_t m_Container;
    Output m_Out;
    const std::string m_Reference;
    Phase m_Phase = Phase::Lead;
    Arrival m_Arrival;
    bool m_Failed = false;
    uint64_t m_Compared = 0; // expected bytes passed
    uint64_t m_Emitted = 0;  // bytes handed to the output once aligned
    std::vector<uint8_t> m_Chunk;
    size_t m_ChunkAt = 0;
};

} // namespace uacsim
