// IUsbDevice: the interface of CUsbDevice through which every other object of the driver
// reaches the USB stack (URBs, IRPs to the lower device, port reset and cycle) and reads the
// device's configuration.
#pragma once

#include "ntddk.h"
#include "portcls.h"

struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
struct _IRP;
typedef struct _IRP* PIRP;
struct _URB;
typedef struct _URB* PURB;
struct _USB_CONFIGURATION_DESCRIPTOR;
typedef struct _USB_CONFIGURATION_DESCRIPTOR* PUSB_CONFIGURATION_DESCRIPTOR;
typedef PVOID USBD_CONFIGURATION_HANDLE;

// {4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}
DEFINE_GUID(IID_IUsbDevice, 0x4E0BFAF2, 0x66CC, 0x40AC, 0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4, 0xFF);

// Implemented by CUsbDevice. Called by the audio function objects, their entities and nodes,
// and the USB stream objects, each of which queries it from the device unknown it was given
// and releases it after use. SubmitUrbSync, ResetPort and CyclePort wait and so run at
// PASSIVE_LEVEL; CallLowerDriver, GetCurrentFrameNumber and the active count also run at
// DISPATCH_LEVEL (transfer paths).
DECLARE_INTERFACE_(IUsbDevice, IUnknown)
{
    // The whole configuration descriptor as read at start; walks may rewrite it in place.
    STDMETHOD_(PUSB_CONFIGURATION_DESCRIPTOR, GetConfigurationDescriptor)() PURE;
    STDMETHOD_(USBD_CONFIGURATION_HANDLE, GetConfigurationHandle)() PURE;
    STDMETHOD_(UCHAR, GetControlInterfaceNumber)() PURE;
    STDMETHOD_(NTSTATUS, SetDevicePresent)(BOOLEAN Present) PURE;
    // Passes a prepared IRP (next stack location and completion routine set) to the lower device.
    STDMETHOD_(NTSTATUS, CallLowerDriver)(PIRP Irp) PURE;
    // Sends one URB and waits for it (0.5 s, then cancels); the URB's status.
    STDMETHOD_(NTSTATUS, SubmitUrbSync)(PURB Urb) PURE;
    // Stores 0, then the current USB frame; callers use the frame and ignore the status.
    STDMETHOD_(NTSTATUS, GetCurrentFrameNumber)(PULONG FrameNumber) PURE;
    STDMETHOD_(PIRP, AllocateIrp)() PURE;
    STDMETHOD_(VOID, FreeIrp)(PIRP Irp) PURE;
    STDMETHOD_(BOOLEAN, IsHighSpeed)() PURE;
    // Both return TRUE when the device is gone.
    STDMETHOD_(BOOLEAN, ResetPort)() PURE;
    STDMETHOD_(BOOLEAN, CyclePort)() PURE;
    STDMETHOD_(PDEVICE_OBJECT, GetLowerDeviceObject)() PURE;
    // Activities that keep the device out of selective suspend; each returns the new count.
    STDMETHOD_(LONG, IncrementActiveCount)() PURE;
    STDMETHOD_(LONG, DecrementActiveCount)() PURE;
    STDMETHOD_(NTSTATUS, CreateAudioDevice)() PURE;
};
typedef IUsbDevice* PUSBDEVICE;
