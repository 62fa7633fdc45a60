// Variant A's walks: the entity class of each audio-control descriptor, and the streams.
#include "driver/function/variants/variant_a_internal.h"

#include "usbaudio.h"
#include "driver/topology/uac1/uac1_feature_unit.h"
#include "driver/topology/uac1/uac1_mixer_unit.h"
#include "driver/topology/uac1/uac1_output_terminal.h"
#include "driver/topology/uac1/uac1_selector_unit.h"
#include "driver/topology/variants/variant_a_output_terminal.h"
#include "driver/topology/variants/variant_a_processors.h"
#include "driver/topology/variants/variant_a_selector_unit.h"
#include "driver/topology/variants/variant_a_units.h"
#include "driver/topology/variants/variant_terminals.h"
#include "driver/wave/variant_a_stream.h"

namespace
{

constexpr UCHAR SWITCHED_OUTPUT_ID = 3;
constexpr UCHAR FORCED_MUTE_UNIT_ID = 11;

// The jack-polling model's render streams carry the jack-gain attenuator; every model but these
// swaps its surround pairs.
constexpr USHORT JACK_POLLING_VENDOR = 0x1E7D;
constexpr USHORT JACK_POLLING_PRODUCT = 0x3750;
constexpr USHORT STRAIGHT_SURROUND_VENDOR = 0x28DA;
constexpr USHORT STRAIGHT_SURROUND_PRODUCT = 0x268E;

template <typename TProcessor> NTSTATUS AttachProcessor(IStreamEngine* Stream, TProcessor** Made)
{
    PAGED_CODE();
    *Made = nullptr;
    TProcessor* pProcessor = new (NonPagedPool, VARIANT_A_POOL_TAG) TProcessor(nullptr);
    if (!pProcessor)
    {
        // The stream plays without it.
        return STATUS_SUCCESS;
    }
    pProcessor->NonDelegatingAddRef();
    pProcessor->Reset();
    CStreamGraph* pGraph = static_cast<CStreamGraph*>(Stream);
    NTSTATUS status = pGraph->AddProcessingNode(static_cast<IDspNode*>(pProcessor));
    pGraph->AllocateBuffers();
    if (NT_SUCCESS(status))
    {
        *Made = pProcessor;
    }
    else
    {
        pProcessor->NonDelegatingRelease();
    }
    return status;
}

} // namespace

NTSTATUS CVariantADevice::CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                              CUsbEntityNode** Entity)
{
    PAGED_CODE();
    PUNKNOWN pDevice = DeviceUnknown();
    IAdapterCommon* pCommon = Common();
    const UCHAR id = Descriptor[3];
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
    {
        auto* p = NewEntity<CVariantAInputTerminal>(Index, Entity);
        return p ? p->Init(Descriptor, Length, pDevice, pCommon, &m_DeviceLock)
                 : STATUS_INSUFFICIENT_RESOURCES;
    }
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
    {
        if (id == SWITCHED_OUTPUT_ID)
        {
            auto* p = NewEntity<CVariantAOutputTerminal>(Index, Entity);
            return p ? p->InitSwitchedOutput(Descriptor, Length, pDevice, pCommon, &m_DeviceLock, this,
                                             m_Switches.SupportSpdifOut, m_Switches.SupportHPOut,
                                             !m_Switches.Disable8ChOut)
                     : STATUS_INSUFFICIENT_RESOURCES;
        }
        auto* p = NewEntity<CUac1OutputTerminal>(Index, Entity);
        return p ? p->Init(Descriptor, Length, pDevice, pCommon, &m_DeviceLock)
                 : STATUS_INSUFFICIENT_RESOURCES;
    }
    case USB_AUDIO_AC_MIXER_UNIT:
    {
        auto* p = NewEntity<CUac1MixerUnit>(Index, Entity);
        return p ? p->Init(Descriptor, Length, pDevice, pCommon) : STATUS_INSUFFICIENT_RESOURCES;
    }
    case USB_AUDIO_AC_SELECTOR_UNIT:
    {
        auto* p = NewEntity<CVariantASelectorUnit>(Index, Entity);
        return p ? p->Init(Descriptor, Length, pDevice, pCommon, &m_DeviceLock)
                 : STATUS_INSUFFICIENT_RESOURCES;
    }
    default:
        break;
    }
    CUac1FeatureUnit* pUnit = nullptr;
    switch (VariantAFeatureUnitClass(m_VendorId, m_ProductId, id))
    {
    case VARIANT_A_UNIT_STATE_SWITCH:
    {
        auto* p = NewEntity<CVariantAFeatureUnit6>(Index, Entity);
        return p ? p->InitWithStateSwitch(Descriptor, Length, pDevice, pCommon, &m_DeviceLock, this)
                 : STATUS_INSUFFICIENT_RESOURCES;
    }
    case VARIANT_A_UNIT_SOFT_MUTE:
        pUnit = NewEntity<CVariantAFeatureUnit5>(Index, Entity);
        break;
    case VARIANT_A_UNIT_MUTE_ONLY:
        pUnit = NewEntity<CVariantAFeatureUnit2>(Index, Entity);
        break;
    case VARIANT_A_UNIT_FORCED_MUTE:
        pUnit = NewEntity<CVariantAFeatureUnit7>(Index, Entity);
        break;
    case VARIANT_A_UNIT_VOLUME_TABLE:
    {
        auto* p = NewEntity<CVariantAFeatureUnit1>(Index, Entity);
        return p ? p->InitVolumeTableUnit(Descriptor, Length, pDevice, pCommon, &m_DeviceLock, this)
                 : STATUS_INSUFFICIENT_RESOURCES;
    }
    case VARIANT_A_UNIT_SCALED_3_2:
        pUnit = NewEntity<CVariantAFeatureUnit3>(Index, Entity);
        break;
    case VARIANT_A_UNIT_SCALED_3_8:
        pUnit = NewEntity<CVariantAFeatureUnit4>(Index, Entity);
        break;
    default:
        pUnit = NewEntity<CUac1FeatureUnit>(Index, Entity);
        break;
    }
    return pUnit ? pUnit->Init(Descriptor, Length, pDevice, pCommon, &m_DeviceLock)
                 : STATUS_INSUFFICIENT_RESOURCES;
}

STDMETHODIMP_(NTSTATUS)
CVariantADevice::CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                               PUSB_INTERFACE_DESCRIPTOR StreamingInterface, ULONG Length)
{
    PAGED_CODE();
    NTSTATUS status = CUac1Device::CreateStreams(Configuration, StreamingInterface, Length);
    return NT_SUCCESS(status) ? AttachStreamProcessors() : status;
}

// A processor that cannot be made is left out; one that cannot be appended fails the walk, which
// still equips the remaining streams.
NTSTATUS CVariantADevice::AttachStreamProcessors()
{
    PAGED_CODE();
    const BOOLEAN jackGain = m_VendorId == JACK_POLLING_VENDOR && m_ProductId == JACK_POLLING_PRODUCT;
    const BOOLEAN swap = m_VendorId != STRAIGHT_SURROUND_VENDOR && m_ProductId != STRAIGHT_SURROUND_PRODUCT &&
                         !m_Switches.Disable8ChOut;
    NTSTATUS result = STATUS_SUCCESS;
    const ULONG count = GetStreamCount();
    for (ULONG pass = 0; pass < 2; pass++)
    {
        if ((pass == 0 && !jackGain) || (pass == 1 && !swap))
        {
            continue;
        }
        for (ULONG index = 0; index < count; index++)
        {
            IStreamEngine* pStream = nullptr;
            if (!NT_SUCCESS(GetStream(index, &pStream)) || pStream->GetKind() != STREAM_DIRECTION_RENDER)
            {
                continue;
            }
            NTSTATUS status = STATUS_SUCCESS;
            if (pass == 0)
            {
                CVariantAJackGainProcessor* pMade = nullptr;
                status = AttachProcessor(pStream, &pMade);
                if (pMade)
                {
                    // The device keeps the last one for its jack-sense thread.
                    if (m_pJackGainProcessor)
                    {
                        m_pJackGainProcessor->Release();
                    }
                    m_pJackGainProcessor = pMade;
                    m_pJackSink = this;
                }
            }
            else
            {
                CVariantAChannelSwapProcessor* pMade = nullptr;
                status = AttachProcessor(pStream, &pMade);
                if (pMade)
                {
                    pMade->Release();
                }
            }
            result = NT_SUCCESS(result) ? status : result;
        }
    }
    return result;
}

NTSTATUS CVariantADevice::SetForcedMute(UCHAR Mute)
{
    PAGED_CODE();
    CUsbEntityNode* pEntity = nullptr;
    if (VariantAFeatureUnitClass(m_VendorId, m_ProductId, FORCED_MUTE_UNIT_ID) !=
            VARIANT_A_UNIT_FORCED_MUTE ||
        !NT_SUCCESS(FindChildById(FORCED_MUTE_UNIT_ID, &pEntity)))
    {
        return STATUS_UNSUCCESSFUL;
    }
    return static_cast<CVariantAFeatureUnit7*>(static_cast<CUac1FeatureUnit*>(pEntity))->SetForcedMute(Mute);
}

VOID CVariantADevice::SetJackGainMode(ULONG Mode)
{
    PAGED_CODE();
    if (m_pJackGainProcessor)
    {
        m_pJackGainProcessor->SetMode(Mode);
    }
}

NTSTATUS CVariantADevice::CreateRenderStreamObject(UCHAR InterfaceNumber, ULONG PinNodeId,
                                                   CUsbAudioStream** Stream)
{
    PAGED_CODE();
    CVariantAStream* pStream =
        new (NonPagedPool, VARIANT_A_POOL_TAG) CVariantAStream(nullptr, InterfaceNumber, PinNodeId);
    *Stream = pStream;
    if (!pStream)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pStream->AddRef();
    return pStream->Init(STREAM_DIRECTION_RENDER, DeviceUnknown(), this);
}
