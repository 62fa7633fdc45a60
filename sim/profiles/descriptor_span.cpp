// The simulator's bounded walk over descriptor bytes.
#include "sim/profiles/descriptor_span.h"

namespace sim
{

std::vector<DescriptorSpan> SplitDescriptors(const std::vector<uint8_t>& bytes)
{
    std::vector<DescriptorSpan> descriptors;
    for (size_t pos = 0; bytes.size() - pos >= 2;)
    {
        const size_t length = bytes[pos];
        if (length < 2 || length > bytes.size() - pos)
        {
            break;
        }
        descriptors.emplace_back(bytes.data() + pos, length);
        pos += length;
    }
    return descriptors;
}

} // namespace sim
