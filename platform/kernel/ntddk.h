// Umbrella header of the stand-in kernel: what a kernel-mode driver includes.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "pool.h"
