// Work-buffer query of the level-2 and level-3 real FFTs. Their specs record their work bytes
// in the same header field as every other level's, so the one query answers for them all.
#include "driver/primitives/fft/sp_fft_buffer_size.h"

SpStatus SpFftRealGetBufferSize_L2(const SpFftSpec* spec, int32_t* pSize)
{
    return SpFftRealGetBufferSize(spec, pSize);
}
