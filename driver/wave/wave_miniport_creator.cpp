// The wave miniport creator that the device start hands to the endpoints.
#include "driver/wave/wave_miniport_creator.h"

PFNCREATEWAVEMINIPORT g_pfnCreateMiniportWaveCyclic = nullptr;
