// CUac1OutputTerminal: terminal types and pin types, their jacks, the settings that keep the
// choice, and the output pin and pin-type nodes of a class-1 output terminal.
#include "driver/topology/uac1/uac1_output_terminal.h"

#include "usbaudio.h"
#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/output_pin_type_node.h"
#include "driver/topology/nodes/pin_node.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/terminal_pin_type.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac1/uac1_terminal_jacks.h"
#include "driver/core/settings_store.h"

namespace
{

// bTerminalID at 3 (taken by the entity base), wTerminalType at 4, bSourceID at 7: the fields
// the entity reads.
constexpr ULONG OT_TERMINAL_TYPE_OFFSET = 4;
constexpr ULONG OT_SOURCE_ID_OFFSET = 7;
constexpr ULONG OT_MIN_BYTES = 8;

// TerminalTypeList: a u16 count, then per type three u16 words, the first the terminal type.
constexpr ULONG TYPE_LIST_HEAD_BYTES = 2;
constexpr ULONG TYPE_LIST_ENTRY_BYTES = 6;

// The pin-type value is named "UACUnit" and the terminal id in two digits.
constexpr SIZE_T PIN_TYPE_VALUE_NAME_CCH = 16;
const WCHAR kPinTypeValuePrefix[] = u"UACUnit";
// Non-zero: the terminal type the device reports at start wins over the saved pin type.
const WCHAR kInitTypeBySelectionValue[] = u"INITOTTYPEBYSEL";
// Non-zero: jacks of pin types that are not selected are reported as plugged in.
const WCHAR kJackConnectValue[] = u"SetJackConnect";

// A USB streaming output stands for itself; the other terminal types as the render endpoint's role.
ULONG StartPinType(USHORT TerminalType)
{
    return TerminalType == USB_AUDIO_TERMINAL_USB_STREAMING ? ULONG(PIN_TYPE_STREAM)
                                                            : OutputTerminalPinType(TerminalType);
}

template <class T> T* AllocZeroed(ULONG Count)
{
    T* p = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, Count * sizeof(T), UAC1_ENTITY_POOL_TAG));
    if (p)
    {
        RtlZeroMemory(p, Count * sizeof(T));
    }
    return p;
}

template <class T> VOID FreeArray(T** Array)
{
    if (*Array)
    {
        ExFreePoolWithTag(*Array, UAC1_ENTITY_POOL_TAG);
        *Array = nullptr;
    }
}

} // namespace

CUac1OutputTerminal::CUac1OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CUsbEntityNode(UnknownOuter, Id), m_nPinType(PIN_TYPE_STREAM), m_nPinTypeCount(0), m_pPinTypes(nullptr),
      m_pTerminalTypes(nullptr), m_pJackCounts(nullptr), m_ppJacks(nullptr), m_pDeviceLock(nullptr)
{
}

CUac1OutputTerminal::~CUac1OutputTerminal()
{
    PAGED_CODE();
    FreePinTypeArrays();
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    return QueryNodeInterface(this, InterfaceId, Interface, IID_ITerminalNode,
                              static_cast<ITerminalNode*>(this), IID_ITerminalJacks,
                              static_cast<ITerminalJacks*>(this));
}

NTSTATUS CUac1OutputTerminal::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                   IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    return Uac1InitEntity(this, Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_OUTPUT_TERMINAL,
                          [&]() -> NTSTATUS
                          {
                              m_pDeviceLock = DeviceLock;
                              return BuildTerminalNodes(AdapterCommon);
                          });
}

USHORT CUac1OutputTerminal::GetTerminalType()
{
    return USHORT(m_pDescriptor[OT_TERMINAL_TYPE_OFFSET] | m_pDescriptor[OT_TERMINAL_TYPE_OFFSET + 1] << 8);
}

BOOLEAN CUac1OutputTerminal::IsStreaming()
{
    return m_pDescriptor && m_pDescriptor[0] >= OT_MIN_BYTES &&
                   GetTerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING
               ? TRUE
               : FALSE;
}

// ---- Pin-type tables ----

NTSTATUS CUac1OutputTerminal::AllocPinTypeArrays(ULONG Count)
{
    FreePinTypeArrays();
    m_pPinTypes = AllocZeroed<ULONG>(Count);
    m_pTerminalTypes = AllocZeroed<USHORT>(Count);
    m_pJackCounts = AllocZeroed<ULONG>(Count);
    m_ppJacks = AllocZeroed<JackRecord*>(Count);
    if (!m_pPinTypes || !m_pTerminalTypes || !m_pJackCounts || !m_ppJacks)
    {
        FreePinTypeArrays();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_nPinTypeCount = Count;
    return STATUS_SUCCESS;
}

VOID CUac1OutputTerminal::FreePinTypeArrays()
{
    for (ULONG i = 0; m_ppJacks && m_pJackCounts && i < m_nPinTypeCount; i++)
    {
        Uac1FreeJackRecords(&m_pJackCounts[i], &m_ppJacks[i]);
    }
    FreeArray(&m_ppJacks);
    FreeArray(&m_pJackCounts);
    FreeArray(&m_pTerminalTypes);
    FreeArray(&m_pPinTypes);
    m_nPinTypeCount = 0;
}

ULONG CUac1OutputTerminal::FindPinType(ULONG PinType)
{
    ULONG i = 0;
    while (i < m_nPinTypeCount && m_pPinTypes[i] != PinType)
    {
        i++;
    }
    return i;
}

NTSTATUS CUac1OutputTerminal::ReadPinTypeJacks(ULONG Index)
{
    PAGED_CODE();
    return Uac1ReadJackRecords(m_pDevice, UCHAR(m_nId), &m_pJackCounts[Index], &m_ppJacks[Index]);
}

// The device can say which terminal types it switches between; each has its own jacks, read
// while that type is selected. A device without a list has the descriptor's type only. At most
// TERMINAL_MAX_PIN_TYPES types are taken, which is all a pin-type node can offer.
NTSTATUS CUac1OutputTerminal::ReadTerminalTypeList(USHORT TerminalType)
{
    PAGED_CODE();
    UCHAR head[TYPE_LIST_HEAD_BYTES] = {};
    NTSTATUS status = Uac1EntityRead(m_pDevice, UAC1_REQUEST_VENDOR, UAC1_VENDOR_TERMINAL_TYPE_LIST_REQUEST,
                                     UAC1_VENDOR_TERMINAL_TYPE_VALUE, UCHAR(m_nId), head, sizeof(head));
    ULONG count = NT_SUCCESS(status) ? ULONG(head[0] | head[1] << 8) : 0;
    if (count < 2)
    {
        status = AllocPinTypeArrays(1);
        if (NT_SUCCESS(status))
        {
            m_pTerminalTypes[0] = TerminalType;
            m_pPinTypes[0] = StartPinType(TerminalType);
            status = ReadPinTypeJacks(0);
        }
        return status;
    }
    count = count > TERMINAL_MAX_PIN_TYPES ? TERMINAL_MAX_PIN_TYPES : count;
    ULONG bytes = count * TYPE_LIST_ENTRY_BYTES + TYPE_LIST_HEAD_BYTES;
    PUCHAR pList = AllocZeroed<UCHAR>(bytes);
    if (!pList)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = Uac1EntityRead(m_pDevice, UAC1_REQUEST_VENDOR, UAC1_VENDOR_TERMINAL_TYPE_LIST_REQUEST,
                            UAC1_VENDOR_TERMINAL_TYPE_VALUE, UCHAR(m_nId), pList, bytes);
    if (NT_SUCCESS(status))
    {
        status = AllocPinTypeArrays(count);
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; i++)
    {
        const UCHAR* entry = pList + TYPE_LIST_HEAD_BYTES + i * TYPE_LIST_ENTRY_BYTES;
        m_pTerminalTypes[i] = USHORT(entry[0] | entry[1] << 8);
        m_pPinTypes[i] = StartPinType(m_pTerminalTypes[i]);
        SelectTerminalType(m_pTerminalTypes[i]);
        status = ReadPinTypeJacks(i);
    }
    FreeArray(&pList);
    return status;
}

// ---- Device requests and settings ----

NTSTATUS CUac1OutputTerminal::ReadDeviceTerminalType(PUSHORT TerminalType)
{
    PAGED_CODE();
    UCHAR data[2] = {};
    NTSTATUS status = Uac1EntityRead(m_pDevice, UAC1_REQUEST_VENDOR, UAC1_VENDOR_TERMINAL_TYPE_REQUEST,
                                     UAC1_VENDOR_TERMINAL_TYPE_VALUE, UCHAR(m_nId), data, sizeof(data));
    if (NT_SUCCESS(status))
    {
        *TerminalType = USHORT(data[0] | data[1] << 8);
    }
    return status;
}

// Selections made while the terminal is being set up are best effort: a device that refuses
// one keeps the type it has, and the jacks read then are that type's.
VOID CUac1OutputTerminal::SelectTerminalType(USHORT TerminalType)
{
    PAGED_CODE();
    UCHAR data[2] = {UCHAR(TerminalType), UCHAR(TerminalType >> 8)};
    Uac1EntityWrite(m_pDevice, UAC1_REQUEST_VENDOR, UAC1_VENDOR_TERMINAL_TYPE_REQUEST,
                    UAC1_VENDOR_TERMINAL_TYPE_VALUE, UCHAR(m_nId), data, sizeof(data));
}

NTSTATUS CUac1OutputTerminal::AccessPinTypeValue(PDEVICE_OBJECT SettingsDevice, ULONG Operation,
                                                 PULONG PinType)
{
    PAGED_CODE();
    WCHAR name[PIN_TYPE_VALUE_NAME_CCH];
    NTSTATUS status =
        RtlStringCchPrintfW(name, PIN_TYPE_VALUE_NAME_CCH, u"%s%02d", kPinTypeValuePrefix, m_nId);
    if (NT_SUCCESS(status))
    {
        status = AccessSetting(SettingsDevice, Operation, PinType, sizeof(*PinType), name);
    }
    return status;
}

NTSTATUS CUac1OutputTerminal::GetSettingsDevice(PDEVICE_OBJECT* SettingsDevice)
{
    PAGED_CODE();
    IAdapterCommon* pCommon = nullptr;
    if (!m_pDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = m_pDevice->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&pCommon));
    if (NT_SUCCESS(status))
    {
        *SettingsDevice = pCommon->GetDeviceObject();
        pCommon->Release();
    }
    return status;
}

// The descriptor's type, replaced by the saved choice when the terminal still offers it, and by
// the device's own selection when "INITOTTYPEBYSEL" says the device decides.
VOID CUac1OutputTerminal::ChooseStartPinType(PDEVICE_OBJECT SettingsDevice, BOOLEAN DeviceTypeRead,
                                             USHORT DeviceType)
{
    PAGED_CODE();
    ULONG current = StartPinType(GetTerminalType());
    ULONG saved = 0;
    if (NT_SUCCESS(AccessPinTypeValue(SettingsDevice, SETTINGS_OPERATION_READ, &saved)) &&
        FindPinType(saved) < m_nPinTypeCount)
    {
        current = saved;
    }
    ULONG bySelection = 0;
    AccessSetting(SettingsDevice, SETTINGS_OPERATION_READ, &bySelection, sizeof(bySelection),
                  kInitTypeBySelectionValue);
    if (DeviceTypeRead && bySelection)
    {
        current = StartPinType(DeviceType);
    }
    m_nPinType = FindPinType(current) < m_nPinTypeCount ? current : m_pPinTypes[0];
}

// ---- Builder ----

NTSTATUS CUac1OutputTerminal::BuildTerminalNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] < OT_MIN_BYTES)
    {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = TakeSingleSourceIdentity(USB_AUDIO_AC_OUTPUT_TERMINAL, OT_SOURCE_ID_OFFSET);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PDEVICE_OBJECT pSettingsDevice = AdapterCommon->GetDeviceObject();
    USHORT type = GetTerminalType();
    if (type == USB_AUDIO_TERMINAL_USB_STREAMING)
    {
        // A streaming output has no jacks and nothing to switch; only its saved type can differ.
        ULONG pinType = StartPinType(type);
        AccessPinTypeValue(pSettingsDevice, SETTINGS_OPERATION_READ, &pinType);
        status = AllocPinTypeArrays(1);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        m_pTerminalTypes[0] = type;
        m_pPinTypes[0] = m_nPinType = pinType;
        return BuildPinNodes(AdapterCommon);
    }
    USHORT deviceType = 0;
    BOOLEAN deviceTypeRead = NT_SUCCESS(ReadDeviceTerminalType(&deviceType));
    status = ReadTerminalTypeList(type);
    if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
    {
        DbgPrint("CUac1OutputTerminal: output terminal %u did not answer the requests for its connector "
                 "types and jacks (0x%08X)\n",
                 ULONG(m_nId), status);
    }
    if (m_nPinTypeCount == 0)
    {
        if (NT_SUCCESS(status))
        {
            DbgPrint("CUac1OutputTerminal: output terminal %u (type 0x%04X) names no connector the driver "
                     "knows\n",
                     ULONG(m_nId), type);
        }
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    ChooseStartPinType(pSettingsDevice, deviceTypeRead, deviceType);
    if (m_nPinTypeCount >= 2)
    {
        SelectTerminalType(m_pTerminalTypes[FindPinType(m_nPinType)]);
    }
    return NT_SUCCESS(status) ? BuildPinNodes(AdapterCommon) : status;
}

// One output pin node per pin type, then the pin-type node when there is a choice. A pin-type
// node the pool cannot hold leaves the terminal on its current type.
NTSTATUS CUac1OutputTerminal::BuildPinNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    ULONG id = AdapterCommon->GetNodeCount();
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_nPinTypeCount; i++, id++)
    {
        COutputPinNode* pNode = new (NonPagedPool, UAC1_ENTITY_POOL_TAG) COutputPinNode(nullptr, id, i);
        if (!pNode)
        {
            return status;
        }
        pNode->NonDelegatingAddRef();
        EndpointCaps caps;
        RtlZeroMemory(&caps, sizeof(caps));
        status = AdapterCommon->GetEndpointCapsByType(0, m_pPinTypes[i], &caps);
        status = NT_SUCCESS(status)
                     ? pNode->InitOutputPinNode(static_cast<ITopologyNode*>(this), &caps, m_pDeviceLock)
                     : status;
        status = Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    if (m_nPinTypeCount < 2)
    {
        return status;
    }
    COutputPinTypeNode* pTypeNode = new (NonPagedPool, UAC1_ENTITY_POOL_TAG) COutputPinTypeNode(nullptr, id);
    if (!pTypeNode)
    {
        return status;
    }
    pTypeNode->NonDelegatingAddRef();
    status = pTypeNode->InitOutputPinTypeNode(static_cast<ITopologyNode*>(this),
                                              AdapterCommon->GetDeviceObject(), AdapterCommon, m_pDeviceLock);
    return Uac1AdoptChildNode(AdapterCommon, this, pTypeNode, status);
}

// ---- ITerminalNode and ITerminalJacks ----

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetPinType(PULONG PinType)
{
    PAGED_CODE();
    if (!PinType)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *PinType = m_nPinType;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetPinTypeCount(PULONG Count)
{
    PAGED_CODE();
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nPinTypeCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetPinTypes(PULONG Types)
{
    PAGED_CODE();
    if (!Types)
    {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_nPinTypeCount; i++)
    {
        Types[i] = m_pPinTypes[i];
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    if (PinType == m_nPinType)
    {
        return STATUS_SUCCESS;
    }
    PDEVICE_OBJECT pSettingsDevice = nullptr;
    NTSTATUS status = GetSettingsDevice(&pSettingsDevice);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG index = FindPinType(PinType);
    if (index >= m_nPinTypeCount)
    {
        return STATUS_UNSUCCESSFUL;
    }
    UCHAR data[2] = {UCHAR(m_pTerminalTypes[index]), UCHAR(m_pTerminalTypes[index] >> 8)};
    status = Uac1EntityWrite(m_pDevice, UAC1_REQUEST_VENDOR, UAC1_VENDOR_TERMINAL_TYPE_REQUEST,
                             UAC1_VENDOR_TERMINAL_TYPE_VALUE, UCHAR(m_nId), data, sizeof(data));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    m_nPinType = PinType;
    AccessPinTypeValue(pSettingsDevice, SETTINGS_OPERATION_WRITE, &PinType);
    Uac1SaveTerminalPinNodes(this, TRUE);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetJackCountAt(ULONG PinIndex, PULONG Count)
{
    PAGED_CODE();
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsStreaming())
    {
        *Count = 0;
        return STATUS_SUCCESS;
    }
    if (PinIndex >= m_nPinTypeCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_pJackCounts[PinIndex];
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetJackDescriptionsAt(ULONG PinIndex, ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    if (!Records || Bytes == 0 || PinIndex >= m_nPinTypeCount || IsStreaming() ||
        m_pJackCounts[PinIndex] == 0 || Bytes / sizeof(JackRecord) < m_pJackCounts[PinIndex])
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = m_pJackCounts[PinIndex];
    if (m_pPinTypes[PinIndex] == m_nPinType)
    {
        return Uac1CopyJacksWithState(m_pDevice, UCHAR(m_nId), count, m_ppJacks[PinIndex], Records);
    }
    PDEVICE_OBJECT pSettingsDevice = nullptr;
    NTSTATUS status = GetSettingsDevice(&pSettingsDevice);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG connect = 0;
    AccessSetting(pSettingsDevice, SETTINGS_OPERATION_READ, &connect, sizeof(connect), kJackConnectValue);
    JackRecord* pOut = static_cast<JackRecord*>(Records);
    RtlCopyMemory(pOut, m_ppJacks[PinIndex], count * sizeof(JackRecord));
    for (ULONG i = 0; i < count; i++)
    {
        pOut[i].IsConnected = connect ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetJackCount(PULONG Count)
{
    PAGED_CODE();
    ULONG index = FindPinType(m_nPinType);
    return GetJackCountAt(index < m_nPinTypeCount ? index : 0, Count);
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetJackDescriptions(ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    ULONG index = FindPinType(m_nPinType);
    return GetJackDescriptionsAt(index < m_nPinTypeCount ? index : 0, Bytes, Records);
}

STDMETHODIMP_(NTSTATUS) CUac1OutputTerminal::GetPinGuids(PVOID Guids)
{
    return STATUS_NOT_IMPLEMENTED;
}

// ---- Status ----

NTSTATUS CUac1OutputTerminal::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    PDEVICE_OBJECT pSettingsDevice = nullptr;
    NTSTATUS status = GetSettingsDevice(&pSettingsDevice);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    USHORT deviceType = 0;
    status = ReadDeviceTerminalType(&deviceType);
    // A report with the terminal type unchanged is a jack plugged or pulled: the pin nodes'
    // jack copies are what the streams test to keep or remove their wave filters, so they are
    // read again even then; only the pin-type node has nothing new to learn.
    BOOLEAN typeNodeDone = FALSE;
    if (NT_SUCCESS(status))
    {
        ULONG pinType = OutputTerminalPinType(deviceType);
        if (pinType == m_nPinType)
        {
            typeNodeDone = TRUE;
        }
        else
        {
            m_nPinType = pinType;
            AccessPinTypeValue(pSettingsDevice, SETTINGS_OPERATION_WRITE, &pinType);
        }
    }
    if (Uac1SaveTerminalPinNodes(this, typeNodeDone))
    {
        status = STATUS_SUCCESS;
    }
    return typeNodeDone ? STATUS_SUCCESS : status;
}

BOOLEAN Uac1SaveTerminalPinNodes(CUsbEntityNode* Terminal, BOOLEAN TypeNodeDone)
{
    PAGED_CODE();
    BOOLEAN saved = FALSE;
    ULONG count = 0;
    Terminal->GetChildCount(&count);
    for (ULONG i = 0; i < count; i++)
    {
        ITopologyNode* pChild = nullptr;
        if (!NT_SUCCESS(Terminal->GetChildAt(i, &pChild)))
        {
            continue;
        }
        const ULONG kind = pChild->GetKind();
        if ((kind == NODE_KIND_PIN_TYPE_SELECTOR && !TypeNodeDone) || kind == NODE_KIND_OUTPUT_TERMINAL)
        {
            TypeNodeDone = TypeNodeDone || kind == NODE_KIND_PIN_TYPE_SELECTOR;
            pChild->SaveValues();
            saved = TRUE;
        }
    }
    return saved;
}
