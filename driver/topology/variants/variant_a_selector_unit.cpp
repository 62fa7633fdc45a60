// CVariantASelectorUnit: the record source codes.
#include "driver/topology/variants/variant_a_selector_unit.h"

#include "usbaudio.h"
#include "driver/topology/uac1/uac1_entity_request.h"

namespace
{

constexpr ULONG SU_UNIT_ID_OFFSET = 3;
constexpr ULONG SU_PIN_COUNT_OFFSET = 4;
constexpr ULONG SU_SOURCES_OFFSET = 5;

// source unit  device code
struct SourceCode
{
    UCHAR SourceId;
    UCHAR Code;
};
const SourceCode kSourceCodes[] = {
    {8, 1},  // microphone
    {15, 2}, // line
    {16, 3}, // S/PDIF
    {2, 4},  // stereo mix
};

UCHAR CodeOf(UCHAR SourceId)
{
    for (const SourceCode& row : kSourceCodes)
    {
        if (row.SourceId == SourceId)
        {
            return row.Code;
        }
    }
    return 0;
}

} // namespace

CVariantASelectorUnit::CVariantASelectorUnit(PUNKNOWN UnknownOuter, ULONG Id)
    : CUac1SelectorUnit(UnknownOuter, Id)
{
    RtlZeroMemory(m_Codes, sizeof(m_Codes));
}

NTSTATUS CVariantASelectorUnit::BuildSelectorNode(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    NTSTATUS status = CUac1SelectorUnit::BuildSelectorNode(AdapterCommon);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const ULONG pins = m_pDescriptor[SU_PIN_COUNT_OFFSET];
    for (ULONG i = 0; i < pins && i < MAX_CODED_INPUTS; i++)
    {
        m_Codes[i] = CodeOf(m_pDescriptor[SU_SOURCES_OFFSET + i]);
    }
    SetSelectedInput(1);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVariantASelectorUnit::SetSelectedInput(ULONG Input)
{
    PAGED_CODE();
    ULONG count = 0;
    if (!NT_SUCCESS(GetInputCount(&count)) || Input < 1 || Input > count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR code = Input <= MAX_CODED_INPUTS ? m_Codes[Input - 1] : 0;
    return Uac1EntityWrite(m_pDevice, UAC1_REQUEST_CLASS, USB_AUDIO_SET_CUR, 0,
                           m_pDescriptor[SU_UNIT_ID_OFFSET], &code, sizeof(code));
}

STDMETHODIMP_(NTSTATUS) CVariantASelectorUnit::GetSelectedInput(PULONG Input)
{
    PAGED_CODE();
    ULONG count = 0;
    if (!Input || !NT_SUCCESS(GetInputCount(&count)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR code = 0;
    NTSTATUS status = Uac1EntityRead(m_pDevice, UAC1_REQUEST_CLASS, USB_AUDIO_GET_CUR, 0,
                                     m_pDescriptor[SU_UNIT_ID_OFFSET], &code, sizeof(code));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (ULONG i = 0; i < count && i < MAX_CODED_INPUTS; i++)
    {
        if (m_Codes[i] == code && code != 0)
        {
            *Input = i + 1;
            return STATUS_SUCCESS;
        }
    }
    *Input = 1;
    SetSelectedInput(1);
    return STATUS_SUCCESS;
}
