// The USBD helper library: bounded walks over configuration descriptors and the builder of
// select-configuration requests. Descriptors come from the device and are not trusted: no
// walk reads a byte outside the span the caller vouched for.
#include "usbdlib.h"

#include "pool.h"

namespace
{

// The descriptor that starts at Position if it lies wholly inside [Position, End): its header
// fits, its bLength is at least 2 (a shorter one would never advance) and does not run past End.
PUSB_COMMON_DESCRIPTOR DescriptorAt(PUCHAR Position, PUCHAR End)
{
    if (Position >= End || End - Position < (LONG_PTR)sizeof(USB_COMMON_DESCRIPTOR))
    {
        return nullptr;
    }
    auto Descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(Position);
    if (Descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || Descriptor->bLength > End - Position)
    {
        return nullptr;
    }
    return Descriptor;
}

// The span of a configuration descriptor as its own wTotalLength gives it; empty when the
// header itself is implausible.
bool ConfigurationSpan(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUCHAR* Begin, PUCHAR* End)
{
    if (Configuration == nullptr || Configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    {
        return false;
    }
    *Begin = reinterpret_cast<PUCHAR>(Configuration);
    *End = *Begin + Configuration->wTotalLength;
    return true;
}

bool Matches(LONG Wanted, UCHAR Actual)
{
    return Wanted == -1 || Wanted == Actual;
}

} // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr || StartPosition == nullptr)
    {
        return nullptr;
    }
    PUCHAR Begin = static_cast<PUCHAR>(DescriptorBuffer);
    PUCHAR End = Begin + TotalLength;
    PUCHAR Position = static_cast<PUCHAR>(StartPosition);
    if (Position < Begin || Position >= End)
    {
        return nullptr;
    }
    for (PUSB_COMMON_DESCRIPTOR Descriptor = DescriptorAt(Position, End); Descriptor != nullptr;
         Descriptor = DescriptorAt(Position, End))
    {
        if (Descriptor->bDescriptorType == DescriptorType)
        {
            return Descriptor;
        }
        Position += Descriptor->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    PUCHAR Begin;
    PUCHAR End;
    if (!ConfigurationSpan(ConfigurationDescriptor, &Begin, &End))
    {
        return nullptr;
    }
    PVOID Position = StartPosition != nullptr ? StartPosition : Begin;
    for (;;)
    {
        auto Descriptor =
            USBD_ParseDescriptors(Begin, (ULONG)(End - Begin), Position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (Descriptor == nullptr)
        {
            return nullptr;
        }
        // A runt interface descriptor has no fields to compare; step over it.
        auto Interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(Descriptor);
        if (Descriptor->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            Matches(InterfaceNumber, Interface->bInterfaceNumber) &&
            Matches(AlternateSetting, Interface->bAlternateSetting) &&
            Matches(InterfaceClass, Interface->bInterfaceClass) &&
            Matches(InterfaceSubClass, Interface->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, Interface->bInterfaceProtocol))
        {
            return Interface;
        }
        Position = reinterpret_cast<PUCHAR>(Descriptor) + Descriptor->bLength;
    }
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd)
{
    PUCHAR Position = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    PUSB_COMMON_DESCRIPTOR First =
        InterfaceDescriptor != nullptr ? DescriptorAt(Position, BufferEnd) : nullptr;
    if (First == nullptr || First->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
        First->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
    {
        return 0;
    }
    ULONG Length = First->bLength;
    for (PUSB_COMMON_DESCRIPTOR Descriptor = DescriptorAt(Position + Length, BufferEnd);
         Descriptor != nullptr && Descriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE;
         Descriptor = DescriptorAt(Position + Length, BufferEnd))
    {
        Length += Descriptor->bLength;
    }
    return Length;
}

namespace
{

// Size of the select-configuration URB for the list, or 0 when an entry does not lie inside
// the configuration or the total does not fit the URB's 16-bit length.
SIZE_T ConfigurationRequestSize(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSBD_INTERFACE_LIST_ENTRY List,
                                ULONG* InterfaceCount)
{
    PUCHAR Begin;
    PUCHAR End;
    if (!ConfigurationSpan(Configuration, &Begin, &End))
    {
        return 0;
    }
    SIZE_T Size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    ULONG Count = 0;
    for (; List[Count].InterfaceDescriptor != nullptr; ++Count)
    {
        PUCHAR Interface = reinterpret_cast<PUCHAR>(List[Count].InterfaceDescriptor);
        if (Interface < Begin || End - Interface < (LONG_PTR)sizeof(USB_INTERFACE_DESCRIPTOR))
        {
            return 0;
        }
        Size += GET_USBD_INTERFACE_SIZE(List[Count].InterfaceDescriptor->bNumEndpoints);
        if (Size > MAXUSHORT)
        {
            return 0;
        }
    }
    *InterfaceCount = Count;
    return Count != 0 ? Size : 0;
}

} // namespace

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (InterfaceList == nullptr)
    {
        return nullptr;
    }
    ULONG InterfaceCount = 0;
    SIZE_T Size = ConfigurationRequestSize(ConfigurationDescriptor, InterfaceList, &InterfaceCount);
    if (Size == 0)
    {
        return nullptr;
    }
    auto Urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, Size, USBD_POOL_TAG));
    if (Urb == nullptr)
    {
        return nullptr;
    }
    std::memset(Urb, 0, Size);
    Urb->UrbHeader.Length = (USHORT)Size;
    Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    PUSBD_INTERFACE_INFORMATION Info = &Urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < InterfaceCount; ++i)
    {
        PUSB_INTERFACE_DESCRIPTOR Descriptor = InterfaceList[i].InterfaceDescriptor;
        Info->Length = GET_USBD_INTERFACE_SIZE(Descriptor->bNumEndpoints);
        Info->InterfaceNumber = Descriptor->bInterfaceNumber;
        Info->AlternateSetting = Descriptor->bAlternateSetting;
        Info->NumberOfPipes = Descriptor->bNumEndpoints;
        // The pipes run on past the one the record declares inline.
        PUSBD_PIPE_INFORMATION Pipes = Info->Pipes;
        for (ULONG p = 0; p < Info->NumberOfPipes; ++p)
        {
            Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            Pipes[p].PipeFlags = 0;
        }
        InterfaceList[i].Interface = Info;
        Info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(Info) + Info->Length);
    }
    return Urb;
}
