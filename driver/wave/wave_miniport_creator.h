// The creator of the endpoints' wave-cyclic miniport, as the device start hands it to every
// streaming endpoint. It lives in one pointer so that the start code does not depend on the
// miniport's own files.
#pragma once

#include "driver/core/stream_engine_if.h"

// CreateMiniportWaveCyclic; a null creator leaves endpoints named but without a wave subdevice.
// Set once, before the first device starts; read at PASSIVE_LEVEL.
extern PFNCREATEWAVEMINIPORT g_pfnCreateMiniportWaveCyclic;
