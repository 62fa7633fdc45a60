// The wave miniport creator that the device start hands to the endpoints.
#include "driver/wave/wave_miniport_creator.h"

#include "driver/wave/miniport_wave_cyclic.h"

PFNCREATEWAVEMINIPORT g_pfnCreateMiniportWaveCyclic = CreateMiniportWaveCyclic;
