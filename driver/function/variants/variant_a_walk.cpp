// Variant A's walks: the entity class of each audio-control descriptor, and the streams.
#include "driver/function/variants/variant_a_internal.h"

#include "usbaudio.h"
#include "driver/topology/uac1/uac1_feature_unit.h"
#include "driver/topology/uac1/uac1_mixer_unit.h"
#include "driver/topology/uac1/uac1_output_terminal.h"
#include "driver/topology/uac1/uac1_selector_unit.h"
#include "driver/topology/variants/variant_a_output_terminal.h"
#include "driver/topology/variants/variant_a_selector_unit.h"
#include "driver/topology/variants/variant_a_units.h"
#include "driver/topology/variants/variant_terminals.h"
#include "driver/wave/variant_a_stream.h"

namespace
{

constexpr UCHAR SWITCHED_OUTPUT_ID = 3;

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
    return CUac1Device::CreateStreams(Configuration, StreamingInterface, Length);
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
