// Internal to the stand-in port-class library: what the subdevice registry, the library's
// dispatch routine and the ports say to each other about filters, their handles, the property
// and event requests sent on them, and power notification.
#pragma once

#include "pc_port.h"
#include "plat_portcls.h"

#include <string>

namespace plat
{
namespace pc
{

// Node or pin of a request that names none (ULONG_MAX of the 32-bit ULONG).
constexpr ULONG kNoTarget = 0xFFFFFFFF;

// {5E0B7C91-3A64-4C2F-9D1B-8A2E41F7C603}: the stand-in's own identifier, never seen by drivers.
DEFINE_GUID(IID_IPcSubdevicePort, 0x5E0B7C91, 0x3A64, 0x4C2F, 0x9D, 0x1B, 0x8A, 0x2E, 0x41, 0xF7, 0xC6, 0x03);

// Answered by every port the library makes. A port whose filter is not built (no descriptor)
// refuses handles.
DECLARE_INTERFACE_(IPcSubdevicePort, IUnknown)
{
    // True once IPort::Init has bound a miniport.
    STDMETHOD_(BOOLEAN, IsBound)() PURE;
    // The miniport's validated descriptor; null for a port that exposes no filter.
    STDMETHOD_(const PCFILTER_DESCRIPTOR*, GetFilterDescriptor)() PURE;
    // A create on the subdevice; Rest is what the file name holds after "\<name>" (empty for the
    // filter itself, a pin's create parameters otherwise).
    STDMETHOD_(NTSTATUS, OpenHandle)(PFILE_OBJECT FileObject, const std::u16string& Rest) PURE;
    // The handle's close: whatever the handle enabled goes with it.
    STDMETHOD_(void, CloseHandle)(PFILE_OBJECT FileObject) PURE;
    // IOCTL_KS_* on a handle the port opened; sets Information, leaves completion to the caller.
    STDMETHOD_(NTSTATUS, DeviceControl)(PFILE_OBJECT FileObject, PIRP Irp) PURE;
    // The device changed power state; passed on to a miniport that answers IPowerNotify.
    STDMETHOD_(void, PowerChangeNotify)(POWER_STATE PowerState) PURE;
    // The registration ends: the port lets its miniport go, which breaks the reference cycle
    // of a miniport that keeps its port. Handles still open fail their requests afterwards.
    STDMETHOD_(void, ReleaseChildren)() PURE;
};
typedef IPcSubdevicePort* PPCSUBDEVICEPORT;

// The port's IPcSubdevicePort (not referenced), or null when Unknown is no port of the library.
PPCSUBDEVICEPORT SubdevicePortOf(PUNKNOWN Unknown);

// A topology port with one reference (pc_topology_port.cpp).
NTSTATUS NewTopologyPort(PPORT* OutPort);
// A WaveCyclic port with one reference (pc_wave_cyclic_port.cpp).
NTSTATUS NewWaveCyclicPort(PPORT* OutPort);

// {0B1E3D5A-7C2F-4E61-8A94-3F5D2C1B6E07}: the stand-in's own; answered by ports that open pins.
DEFINE_GUID(IID_IPcPinPort, 0x0B1E3D5A, 0x7C2F, 0x4E61, 0x8A, 0x94, 0x3F, 0x5D, 0x2C, 0x1B, 0x6E, 0x07);

DECLARE_INTERFACE_(IPcPinPort, IUnknown)
{
    // The pin opened on the handle; STATUS_INVALID_HANDLE when there is none.
    STDMETHOD_(NTSTATUS, DescribePin)(PFILE_OBJECT FileObject, plat::PcPinView * View) PURE;
};
typedef IPcPinPort* PPCPINPORT;

// The port a subdevice handle was opened on, with a reference; null for any other file object
// (pc_port_handles.cpp).
PPCSUBDEVICEPORT ReferenceHandlePort(PFILE_OBJECT FileObject);

// Checks a miniport's descriptor before a port uses it: sizes and counts, non-null arrays
// where counts are non-zero, pin and node fields, automation item sizes, and connections that
// name existing pins and nodes. STATUS_SUCCESS or STATUS_INVALID_PARAMETER (pc_port_filter.cpp).
NTSTATUS ValidateFilterDescriptor(const PCFILTER_DESCRIPTOR* Descriptor);

// Hooks of the subdevice registry (pc_port_registry.cpp). A port with a filter registered on an
// adapter device gets one enabled device interface per filter category, with the subdevice name
// as reference string, which is how the host finds and opens the filter; a failure refuses the
// registration. Unregistering disables them and has the port let its miniport go.
NTSTATUS OnSubdeviceRegistering(PDEVICE_OBJECT DeviceObject, const std::u16string& Name, PPORT Port);
void OnSubdeviceUnregistered(PDEVICE_OBJECT DeviceObject, PPORT Port);

// The registered subdevice of the device whose name equals Name (any letter case), with a
// reference; null when there is none (pc_subdevice.cpp).
PPCSUBDEVICEPORT ReferenceSubdevice(PDEVICE_OBJECT DeviceObject, const std::u16string& Name);

// Tells every subdevice registered on the device about a device power change.
void NotifySubdevicesPower(PDEVICE_OBJECT DeviceObject, POWER_STATE PowerState);

// The registration of the port on the device ends (pc_subdevice.cpp): the call that
// IUnregisterSubdevice::UnregisterSubdevice makes on every port.
NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown);
NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin);

// Requests on subdevice handles, for PcDispatchIrp (pc_port_handles.cpp): true when the request
// belongs to a filter (a create naming a registered subdevice, or any request on a handle such
// a create opened), with *Status its result; the caller completes the IRP.
bool DispatchSubdeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status);

// Number of open subdevice handles (tests: none outlives its client).
size_t OpenSubdeviceHandleCount();

// The library's answer to IOCTL_KS_PROPERTY on a filter handle: the standard pin and topology
// sets from the descriptor, everything else routed through the automation tables to the
// miniport's handlers with MajorTarget (pc_port_properties.cpp).
NTSTATUS HandleFilterProperty(PUNKNOWN MajorTarget, const PCFILTER_DESCRIPTOR* Descriptor, PIRP Irp);

// The automation table of a node, of a pin, or of the filter (Node and Pin kNoTarget).
const PCAUTOMATION_TABLE* AutomationTableOf(const PCFILTER_DESCRIPTOR* Descriptor, ULONG Node, ULONG Pin);
// The item of the table with the set and id, or null.
const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* Table, const GUID& Set, ULONG Id);
const PCEVENT_ITEM* FindEventItem(const PCAUTOMATION_TABLE* Table, const GUID& Set, ULONG Id);

} // namespace pc
} // namespace plat
