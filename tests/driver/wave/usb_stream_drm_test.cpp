// Content forwarding of a USB stream: the record handed to the port-class library names the bus
// below the device and, while a setting with a data pipe is selected, that pipe. The USB
// stack's own pipe table is the oracle for the handle.
#include "support/uac1_test_support.h"

#include "plat_portcls.h"
#include "usbdlib.h"

namespace
{

class UsbStreamDrm : public u1t::Uac1Rig
{
protected:
    // The record of one SetContentId call, as the library logged it.
    plat::PcContentForward Forward(IStreamDrmForward* drm, ULONG contentId)
    {
        plat::PcClearContentForwards();
        EXPECT_EQ(drm->SetContentId(contentId), STATUS_SUCCESS);
        std::vector<plat::PcContentForward> log = plat::PcContentForwards();
        EXPECT_EQ(log.size(), 1u);
        return log.empty() ? plat::PcContentForward() : log[0];
    }
    // The stack's answer to an abort of the pipe: a handle it never opened is refused.
    NTSTATUS Abort(PVOID pipe)
    {
        URB urb = {};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb.UrbPipeRequest.PipeHandle = static_cast<USBD_PIPE_HANDLE>(pipe);
        return Usb()->SubmitUrbSync(&urb);
    }
};

TEST_F(UsbStreamDrm, RecordNamesTheBusAndTheDataPipeOfTheSelectedSetting)
{
    Plug("uac1-headset");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    IStreamDrmForward* drm = nullptr;
    ICyclicControl* control = nullptr;
    ASSERT_EQ(Stream(0)->QueryInterface(IID_IStreamDrmForward, reinterpret_cast<PVOID*>(&drm)),
              STATUS_SUCCESS);
    ASSERT_EQ(drm->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&control)), STATUS_SUCCESS);

    plat::PcContentForward before = Forward(drm, 7);
    EXPECT_EQ(before.ContentId, 7u);
    EXPECT_EQ(before.Reserved, nullptr);
    EXPECT_EQ(before.Record.Flags, 0u);
    EXPECT_EQ(before.Record.DeviceObject, Pdo()); // the device sits right on the bus's object
    EXPECT_EQ(before.Record.FileObject, nullptr);
    EXPECT_EQ(before.Record.Context, nullptr);

    ASSERT_EQ(control->SelectAlternateSetting(1, nullptr), STATUS_SUCCESS);
    plat::PcContentForward during = Forward(drm, 8);
    EXPECT_EQ(during.Record.DeviceObject, Pdo());
    EXPECT_NE(during.Record.Context, nullptr);
    EXPECT_EQ(PVOID(during.Record.FileObject), during.Record.Context);
    EXPECT_EQ(Abort(during.Record.Context), STATUS_SUCCESS);

    // Setting 0 has no pipes: the record carries none, and the one it had is closed.
    ASSERT_EQ(control->SelectAlternateSetting(0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Forward(drm, 9).Record.Context, nullptr);
    EXPECT_NE(Abort(during.Record.Context), STATUS_SUCCESS);
    control->Release();
    drm->Release();
}

} // namespace
