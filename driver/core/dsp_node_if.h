// IDspNode: the interface of nodes that process a stream's samples in software, kept in the
// stream's processing-node list and run by its sample pipeline.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "mmreg.h"

// {1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}
DEFINE_GUID(IID_IDspNode, 0x1EDBBC0C, 0xAA74, 0x4046, 0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66, 0xFF);

// Implemented by the software mute, DSP volume and effect-control nodes and the variant
// processors. Start and Stop are called by the USB stream at PASSIVE_LEVEL when it starts and
// stops streaming; Reset and Process by the pipeline at DISPATCH_LEVEL under the stream's spin
// lock, so they neither wait nor touch paged memory.
DECLARE_INTERFACE_(IDspNode, IUnknown)
{
    STDMETHOD_(NTSTATUS, Spare1)() PURE;
    STDMETHOD_(NTSTATUS, Spare2)() PURE;
    STDMETHOD_(NTSTATUS, Start)(PCWAVEFORMATEXTENSIBLE Format) PURE;
    STDMETHOD_(NTSTATUS, Reset)() PURE;
    // Data: for PCM (format code 1) an array of nChannels pointers to float buffers of Frames
    // samples (full scale 1.0); otherwise the interleaved buffer, nBlockAlign x Frames bytes.
    // Changes the samples in place; a negative result stops the pipeline.
    STDMETHOD_(NTSTATUS, Process)(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) PURE;
    STDMETHOD_(NTSTATUS, Stop)() PURE;
};
typedef IDspNode* PDSPNODE;
