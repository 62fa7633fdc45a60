// Ports and subdevices of the stand-in port-class library: PcNewPort, IPort::Init, subdevice
// and physical-connection registration and their removal through the port's unregister
// interfaces. The log of those calls that tests and tools read is in plat_portcls.h.
#pragma once

#include "io.h"
#include "unknown.h"

struct IResourceList;

// {B4C90A25-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPort, 0xB4C90A25, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {B4C90A2A-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {B4C90A32-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(CLSID_PortTopology, 0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {16738177-E199-41F9-9A87-ABB2A5432F21}
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F,
            0x21);
// {6C38E231-2A0D-428D-81F8-07CC428BB9A4}
DEFINE_GUID(IID_IUnregisterPhysicalConnection, 0x6C38E231, 0x2A0D, 0x428D, 0x81, 0xF8, 0x07, 0xCC, 0x42, 0x8B,
            0xB9, 0xA4);

// A port made by PcNewPort. Init binds it to its miniport (which it keeps referenced) once.
// PASSIVE_LEVEL.
DECLARE_INTERFACE_(IPort, IUnknown)
{
    STDMETHOD_(NTSTATUS, Init)
    (PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
     IResourceList * ResourceList) PURE;
};
typedef IPort* PPORT;

// Answered by every port. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown)
{
    STDMETHOD_(NTSTATUS, UnregisterSubdevice)(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) PURE;
};
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;

// Answered by every port. Connections to and from other drivers' filters are not used here and
// are refused.
DECLARE_INTERFACE_(IUnregisterPhysicalConnection, IUnknown)
{
    STDMETHOD_(NTSTATUS, UnregisterPhysicalConnection)
    (PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) PURE;
    STDMETHOD_(NTSTATUS, UnregisterPhysicalConnectionToExternal)
    (PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin, PUNICODE_STRING ToString, ULONG ToPin)
        PURE;
    STDMETHOD_(NTSTATUS, UnregisterPhysicalConnectionFromExternal)
    (PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString, ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin)
        PURE;
};
typedef IUnregisterPhysicalConnection* PUNREGISTERPHYSICALCONNECTION;

// PASSIVE_LEVEL. A port of the class (CLSID_PortWaveCyclic or CLSID_PortTopology) with one
// reference; STATUS_INVALID_PARAMETER for another class, STATUS_INSUFFICIENT_RESOURCES when
// out of memory.
NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);

// PASSIVE_LEVEL. Registers the initialised port under Name; the registration keeps a reference
// on the port until the subdevice is unregistered. A name already registered on the device,
// or a port registered twice: STATUS_OBJECT_NAME_COLLISION.
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown);

// PASSIVE_LEVEL. Both unknowns must be ports; the same connection twice is refused with
// STATUS_OBJECT_NAME_COLLISION.
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin);
