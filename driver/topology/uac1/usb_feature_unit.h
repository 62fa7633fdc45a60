// CUsbFeatureUnit: what the feature units of both releases share. Each keeps its descriptor,
// an optional vendor control map from the unit's memory and the device lock its nodes take;
// each reads and writes one-byte switches and one- or two-byte levels on a wire channel that
// its release picks. The release's own class says how controls are announced, how a node's
// channel becomes a wire channel and which request carries the value.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout: every value operation waits for its control transfer. The entity
// takes no lock; its control nodes hold the device lock around their calls.
class CUsbFeatureUnit : public IFeatureUnitSwitch, public IFeatureUnitLevel, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    // MapTag: the pool tag the release allocates the control map with. GetCur and SetCur: the
    // release's requests for reading and writing a current value.
    CUsbFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, ULONG MapTag, UCHAR GetCur, UCHAR SetCur);
    ~CUsbFeatureUnit() override;

    // IFeatureUnitSwitch and IFeatureUnitLevel, all but the builder and the level range.
    STDMETHODIMP_(NTSTATUS) GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) GetControlChannelCount(ULONG Selector, PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Selector, ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Selector, ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS) GetLevelChannelCount(ULONG Selector, PULONG Count) override;

protected:
    // Selectors from here are the vendor's, announced by the control map.
    static constexpr ULONG VENDOR_SELECTOR_BASE = 0x80;

    // The lock the unit's control nodes share; set by Init.
    CMutexLock* GetDeviceLock() const { return m_pDeviceLock; }

    // The unit's descriptor entries (master first), 0 when the descriptor is unusable.
    virtual ULONG GetEntryCount() = 0;
    // The control map's entries (master first), 0 without a map.
    virtual ULONG GetMapEntryCount() = 0;
    // Whether entry Channel (0: master) announces Selector in any way.
    virtual BOOLEAN ChannelCarriesControl(ULONG Selector, ULONG Channel) = 0;
    // The wire channel of node channel Channel for a read or a write, or STATUS_INVALID_PARAMETER.
    virtual NTSTATUS AddressControlChannel(ULONG Selector, ULONG Channel, BOOLEAN Write,
                                           PUCHAR WireChannel) = 0;
    virtual NTSTATUS ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel, PVOID Data,
                                    ULONG Length) = 0;

    // Whether any entry, master included, announces Selector: the descriptor's for the standard
    // controls, the map's for the vendor's.
    BOOLEAN AnyChannelCarriesControl(ULONG Selector);
    // The logical channels (not the master) that carry the control; a control on the master
    // alone counts as one channel. A vendor control without a map: STATUS_INVALID_PARAMETER.
    NTSTATUS CountControlChannels(ULONG Selector, PULONG Count);
    // The checks and the channel every level range is asked of: the first logical channel that
    // carries the control, the master when none does.
    NTSTATUS RangeChannel(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution, PUCHAR Channel);

    NTSTATUS TransferValue(BOOLEAN Write, ULONG Selector, ULONG Channel, PVOID Data, ULONG Length);

    // The Init steps shared by both releases' units.
    template <class Unit>
    friend NTSTATUS StartFeatureUnit(Unit* pUnit, IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                     const char* UnitClass);

    PUCHAR m_pExtendedControlMap; // null when the device gave none
    ULONG m_nExtendedMapBytes;
    CMutexLock* m_pDeviceLock;

private:
    const ULONG m_nMapTag;
    const UCHAR m_GetCur;
    const UCHAR m_SetCur;
};
