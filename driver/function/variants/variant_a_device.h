// CVariantADevice: the jack-sensing model. A class-1 function that probes its chip with two
// vendor requests, keeps six chip registers cached and writes them with HID output reports,
// takes fourteen feature switches from the settings that remove inputs, units and output
// channel counts from its fixed configuration descriptor before the walk, and polls its jack
// sense on a thread of its own instead of reading a status endpoint.
#pragma once

#include "driver/core/variant_a_registers_if.h"
#include "driver/function/variants/variant_device.h"

struct IUsbDevice;

constexpr KPRIORITY VARIANT_A_JACK_THREAD_PRIORITY = 16;
// Jack-sense samples the thread keeps, one per poll, and the poll period.
constexpr ULONG VARIANT_A_JACK_HISTORY = 30;
constexpr LONG VARIANT_A_JACK_PERIOD_MS = 50;

// The jack-sense states: all samples sensed (0), mixed (1), none sensed (2).
enum VariantAJackState : ULONG
{
    VARIANT_A_JACK_ALL_SET = 0,
    VARIANT_A_JACK_MIXED = 1,
    VARIANT_A_JACK_ALL_CLEAR = 2,
};

// What the jack-sense thread drives: the forced mute of unit 11 and the render streams' gain.
// Implemented by the node and processor objects the walks make. PASSIVE_LEVEL.
class IVariantAJackSink
{
public:
    virtual NTSTATUS SetForcedMute(UCHAR Mute) = 0;
    virtual VOID SetJackGainMode(ULONG Mode) = 0;

protected:
    ~IVariantAJackSink() = default;
};

// The feature switches, in the order the device keeps them.
struct VariantASwitches
{
    UCHAR DisableMicInTerminal;
    UCHAR DisableLineInTerminal;
    UCHAR DisableSpdifInTerminal;
    UCHAR DisableMicInAAUnit;
    UCHAR DisableLineInAAUnit;
    UCHAR DisableMicInRecUnit;
    UCHAR DisableLineInRecUnit;
    UCHAR DisableStereoMixRecUnit;
    UCHAR SupportHPOut;
    UCHAR SupportSpdifOut;
    UCHAR Disable2ChOut;
    UCHAR Disable4ChOut;
    UCHAR Disable6ChOut;
    UCHAR Disable8ChOut;
};

// The configuration rewrite: Config (Length bytes) is rewritten in place by the switches (the
// implied ones applied to a copy). STATUS_UNSUCCESSFUL with both 6- and 8-channel output
// disabled; a descriptor whose layout is not the model's is left as it is (STATUS_SUCCESS,
// *Rewritten FALSE). PASSIVE_LEVEL (paged work buffer).
NTSTATUS VariantAFilterConfigDescriptor(PUCHAR Config, ULONG Length, const VariantASwitches& Switches,
                                        PBOOLEAN Rewritten);

// PASSIVE_LEVEL throughout, as CUac1Device.
class CVariantAJackGainProcessor;

class CVariantADevice : public CVariantDevice, public IVariantARegisters, public IVariantAJackSink
{
public:
    CVariantADevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
    ~CVariantADevice() override;

    STDMETHODIMP_(NTSTATUS) InitHardware() override;
    STDMETHODIMP_(NTSTATUS) PostInit() override;
    STDMETHODIMP_(NTSTATUS) Start() override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
    STDMETHODIMP_(NTSTATUS) UpdateStreamSubdevices(ULONG EntityId) override;
    STDMETHODIMP_(NTSTATUS)
    CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR StreamingInterface,
                  ULONG Length) override;

    // IVariantARegisters
    NTSTATUS WriteMaskedRegister(ULONG Index, USHORT Value, USHORT Mask) override;
    USHORT GetCachedRegister(ULONG Index) override;

    const VariantASwitches& GetSwitches() const { return m_Switches; }
    BOOLEAN IsJackPolling() const { return m_JackPolling; }
    BOOLEAN IsJackThreadRunning() const { return m_JackThreadRunning; }
    ULONG GetJackState() const { return m_JackState; }
    // IVariantAJackSink: unit 11's forced mute and the render streams' jack gain.
    NTSTATUS SetForcedMute(UCHAR Mute) override;
    VOID SetJackGainMode(ULONG Mode) override;
    CVariantAJackGainProcessor* GetJackGainProcessor() { return m_pJackGainProcessor; }

protected:
    NTSTATUS CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                 CUsbEntityNode** Entity) override;
    BOOLEAN RequiresEveryWiredSource() override { return TRUE; }
    NTSTATUS CreateRenderStreamObject(UCHAR InterfaceNumber, ULONG PinNodeId,
                                      CUsbAudioStream** Stream) override;

private:
    struct CachedRegister
    {
        USHORT Value;
        UCHAR Flags; // bit 0 cleared by every write that reached the chip; bit 1: rewrite on PostInit
        UCHAR Reserved;
    };

    NTSTATUS Probe(IUsbDevice* UsbDevice, PBOOLEAN ProbeMatched);
    VOID ReadSwitches();
    VOID ApplyModelOverrides(BOOLEAN ProbeMatched);
    NTSTATUS FilterConfigDescriptor(IUsbDevice* UsbDevice);
    NTSTATUS AttachStreamProcessors();
    NTSTATUS StartJackThread();
    VOID StopJackThread();

    static VOID JackThreadStart(PVOID Context);
    VOID JackThread();
    NTSTATUS ReadJackReport(IUsbDevice* UsbDevice, PURB Urb, PUCHAR Sample);
    VOID StepJackState(const UCHAR* History);

    CachedRegister m_Registers[VARIANT_A_REGISTER_COUNT];
    BOOLEAN m_JackPolling;
    BOOLEAN m_JackThreadRunning;
    KTIMER m_JackTimer;
    VariantASwitches m_Switches;
    PKTHREAD m_pJackThread; // referenced while the thread may run
    ULONG volatile m_JackState;
    IVariantAJackSink* m_pJackSink;
    CVariantAJackGainProcessor* m_pJackGainProcessor; // referenced, or null
};

// Allocates the object (non-paged, "8126") aggregated into UnknownOuter and hands out its
// non-delegating unknown with one reference. PASSIVE_LEVEL.
NTSTATUS CreateVariantADevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
