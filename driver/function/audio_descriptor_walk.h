// The descriptor-walk steps every audio function shares, whatever its release or model: the
// checks that an interface or a class-specific descriptor lies whole within the configuration
// before any field is read, the framing of the audio-control walk and of the wiring, a
// setting's format template, and the hand-over of the entities and streams a walk creates.
// All PASSIVE_LEVEL.
#pragma once

#include "ntddk.h"
#include "ksmedia.h"
#include "usb.h"
#include "usbaudio.h"
#include "usbspec.h"
#include "driver/core/pointer_list.h"

class CUac1Device;
class CUsbAudioStream;
class CUsbEntityNode;

namespace audiowalk
{

constexpr ULONG INTERFACE_DESCRIPTOR_BYTES = 9;
constexpr ULONG CS_HEADER_BYTES = 3; // bLength, bDescriptorType, bDescriptorSubtype
// Entities with more sources than this are left unwired.
constexpr ULONG MAX_WIRED_SOURCES = 9;

// The interface descriptor lies whole within Length.
BOOLEAN AudioInterfaceWhole(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length);
// Whole, within Length, and an audio interface of SubClass and Protocol.
BOOLEAN AudioInterfaceFits(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length, UCHAR SubClass, UCHAR Protocol);
// Says, for Owner, why an interface AudioInterfaceFits refused is refused; the caller refuses it.
VOID ReportAudioInterfaceMisfit(const char* Owner, PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length,
                                UCHAR SubClass, UCHAR Protocol);

// Says, for Owner, what a configuration holds when its first audio-streaming interface,
// Interface, is of release 2.0 while the first audio-control interface is of release 1.0: the
// interfaces that control interface's header lists, and the interface association, if any, that
// gathers Interface into a function of its own. The caller refuses the device.
VOID ReportMixedReleaseFunctions(const char* Owner, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                 PUSB_INTERFACE_DESCRIPTOR Interface);

// A descriptor of streaming interface Interface whose length lies within the Left bytes and
// covers what the walk reads of its kind: an interface descriptor, a class-specific header, and
// AS_GENERAL and FORMAT_TYPE of the release's least lengths. Says why, for Owner, when it does
// not. Left is at least 1.
BOOLEAN StreamingDescriptorFits(const char* Owner, const UCHAR* Descriptor, ULONG Left, UCHAR Interface,
                                ULONG GeneralMinBytes, ULONG FormatTypeMinBytes);
// The format types the driver plays, I and III; says why, for Owner, when FormatType of stream
// StreamId is another.
BOOLEAN FormatTypePlayable(const char* Owner, ULONG StreamId, UCHAR FormatType);
// What every rate of one setting's formats shares: Channels of SubslotBytes each, ValidBits of
// them valid, placed by ChannelMask, as PCM until the caller says otherwise.
VOID InitFormatTemplate(PWAVEFORMATEXTENSIBLE Format, UCHAR Channels, UCHAR SubslotBytes, WORD ValidBits,
                        ULONG ChannelMask);
// The next audio-streaming interface at or after Stop, or null when Stop is at End.
PUSB_INTERFACE_DESCRIPTOR NextStreamingInterface(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                                 const UCHAR* Stop, const UCHAR* End);

// Steps through the descriptors of streaming interface Interface and its alternate settings,
// from the one after Interface up to End or the first descriptor of another interface. Each must
// fit (StreamingDescriptorFits with the release's least lengths, else STATUS_UNSUCCESSFUL). An
// alternate setting of the interface calls Alternate(its number); any other descriptor calls
// Visit(Descriptor, PBOOLEAN End), which returns its status and may set *End to end the
// interface there. The first failure ends the walk. *Stop is where the interface's descriptors
// end. PASSIVE_LEVEL.
template <typename TAlternate, typename TVisit>
NTSTATUS WalkStreamingDescriptors(const char* Owner, PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End,
                                  ULONG GeneralMinBytes, ULONG FormatTypeMinBytes, const UCHAR** Stop,
                                  TAlternate Alternate, TVisit Visit)
{
    const UCHAR number = Interface->bInterfaceNumber;
    NTSTATUS status = STATUS_SUCCESS;
    const UCHAR* p = reinterpret_cast<const UCHAR*>(Interface) + Interface->bLength;
    while (p < End && NT_SUCCESS(status))
    {
        if (!StreamingDescriptorFits(Owner, p, ULONG(End - p), number, GeneralMinBytes, FormatTypeMinBytes))
        {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        BOOLEAN end = FALSE;
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (p[2] != number)
            {
                break;
            }
            Alternate(p[3]);
        }
        else
        {
            status = Visit(p, &end);
        }
        if (end)
        {
            break;
        }
        if (NT_SUCCESS(status))
        {
            p += p[0];
        }
    }
    *Stop = p;
    return status;
}

// Walks every audio-streaming interface from First, which begins the Length bytes that hold
// them: Check(Interface, BytesLeft, IsFirst) returns the status that refuses an interface (and
// says why), WalkOne(Interface, End, &Stop) walks it and says where its descriptors end, and the
// next interface is the first one of the configuration from there on. One that starts before
// that point or past the end is refused. The first failure is returned. PASSIVE_LEVEL.
template <typename TCheck, typename TWalkOne>
NTSTATUS WalkStreamingInterfaces(const char* Owner, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                 PUSB_INTERFACE_DESCRIPTOR First, ULONG Length, TCheck Check,
                                 TWalkOne WalkOne)
{
    const UCHAR* pEnd = reinterpret_cast<const UCHAR*>(First) + Length;
    PUSB_INTERFACE_DESCRIPTOR pInterface = First;
    while (pInterface)
    {
        const UCHAR* pAt = reinterpret_cast<const UCHAR*>(pInterface);
        NTSTATUS status = Check(pInterface, ULONG(pEnd - pAt), pInterface == First);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        const UCHAR* pStop = nullptr;
        status = WalkOne(pInterface, pEnd, &pStop);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        pInterface = NextStreamingInterface(Configuration, pStop, pEnd);
        const UCHAR* pNext = reinterpret_cast<const UCHAR*>(pInterface);
        if (pInterface && (pNext < pStop || pNext >= pEnd))
        {
            DbgPrint("%s: an audio-streaming interface descriptor runs past the configuration\n", Owner);
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

// The audio-control descriptor at Offset of the Length bytes has a length the walk can step
// by; says why, for Owner, when it has not.
BOOLEAN ControlDescriptorFits(const char* Owner, const UCHAR* Bytes, ULONG Offset, ULONG Length);

// Hands every entity descriptor of the audio-control interface (every class-specific one but
// the header) to Visit(Descriptor, BytesLeft) in order and stops at the first failure. The walk
// ends at the first descriptor that is not class-specific.
template <typename TVisit>
NTSTATUS WalkControlDescriptors(const char* Owner, PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length,
                                TVisit Visit)
{
    PUCHAR pBytes = reinterpret_cast<PUCHAR>(ControlInterface);
    for (ULONG offset = pBytes[0]; offset < Length;)
    {
        PUCHAR p = pBytes + offset;
        if (!ControlDescriptorFits(Owner, pBytes, offset, Length))
        {
            return STATUS_UNSUCCESSFUL;
        }
        if (p[1] != USB_AUDIO_CS_INTERFACE)
        {
            break;
        }
        if (p[2] != USB_AUDIO_AC_HEADER)
        {
            NTSTATUS status = Visit(p, Length - offset);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
        }
        offset += p[0];
    }
    return STATUS_SUCCESS;
}

// The entity a child-list entry holds.
CUsbEntityNode* EntityOfChild(PVOID Child);

// The end of one entity's creation: an entity whose set-up succeeded (Status) joins Device's
// children, and the walk's reference on it, if one was made, goes either way.
NTSTATUS AdoptWalkEntity(CUac1Device* Device, CUsbEntityNode* Entity, NTSTATUS Status);

// The source ids of an entity the walk wires: one with nodes and from 1 to MAX_WIRED_SOURCES
// sources. FALSE for any other entity, or when its sources cannot be read.
BOOLEAN ReadWiredSources(CUsbEntityNode* Entity, ULONG (&Ids)[MAX_WIRED_SOURCES], PULONG Count);

// Hands every entity among Children (ITopologyNode, one reference each) that the walk wires to
// Visit(Entity, Ids, Count) with its sources, in list order, and stops at the first failure.
template <typename TVisit> NTSTATUS ForEachWiredEntity(CPointerList* Children, TVisit Visit)
{
    PPOINTER_LIST_NODE position = Children->GetHeadPosition();
    PVOID pData;
    while (Children->GetNext(&position, &pData))
    {
        CUsbEntityNode* pEntity = EntityOfChild(pData);
        ULONG ids[MAX_WIRED_SOURCES];
        ULONG count = 0;
        if (!ReadWiredSources(pEntity, ids, &count))
        {
            continue;
        }
        NTSTATUS status = Visit(pEntity, ids, count);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// The walk's end of one stream: its buffers once its nodes are in place (Status), and the walk's
// reference on it goes either way.
NTSTATUS FinishWalkStream(CUsbAudioStream* Stream, NTSTATUS Status);

// A new entity of its class from the pool of Tag with the walk's reference taken, or null when
// the pool is out.
template <typename TEntity> TEntity* NewWalkEntity(ULONG Tag, ULONG Id, CUsbEntityNode** Entity)
{
    TEntity* pNew = new (NonPagedPool, Tag) TEntity(nullptr, Id);
    if (pNew)
    {
        *Entity = pNew;
        pNew->AddRef();
    }
    return pNew;
}

// A new entity of its class (as NewWalkEntity) initialised from Args; a null *Entity when the
// pool is out.
template <typename TEntity, typename... TArgs>
NTSTATUS CreateWalkEntity(ULONG Tag, ULONG Id, CUsbEntityNode** Entity, TArgs... Args)
{
    TEntity* pNew = NewWalkEntity<TEntity>(Tag, Id, Entity);
    return pNew ? pNew->Init(Args...) : STATUS_INSUFFICIENT_RESOURCES;
}

} // namespace audiowalk
