// A simulated device's profile: its descriptor bytes and the behaviour the descriptors do not
// carry (strings, control ranges, clock rates, feedback offset, jack states, vendor requests),
// parsed from a small line-oriented text format.
//
// Profile text format
// -------------------
// One directive per line. Blank lines are ignored; '#' starts a comment anywhere outside a
// quoted string. Numbers are decimal (optionally negative where a value may be) or 0x-hex.
//
//   name <word>                          profile name (default: the name the loader was given)
//   speed full|high                      bus speed; default high for a release-2.0 audio
//                                        function (audio-control protocol 0x20), else full
//   descriptors                          a block of descriptor bytes, two hex digits each,
//     12 01 10 01 ...  # device          separated by blanks, over any number of lines up to
//     09 02 ...        # configuration   "end": the 18-byte device descriptor followed by the
//   end                                  configuration descriptor (wTotalLength bytes)
//   dump <path>                          the same bytes from a raw file as Linux exposes it in
//                                        sysfs ("descriptors"); relative to the profile's folder
//   string <index> [lang=<id>] "<text>"  string descriptor <index> in language <id> (default
//                                        0x0409); UTF-8 text with \" \\ escapes, at most 126
//                                        UTF-16 units
//   control <entity> <selector> [channel=<n>] [min=<v>] [max=<v>] [res=<v>] [cur=<v>]
//                                        range and current value of one control of a unit or
//                                        terminal (channel 0 is the master channel); values are
//                                        the control's raw units (volume: 1/256 dB). The two
//                                        numbers are the request's wValue bytes: for a feature
//                                        unit the control selector and the channel; for a
//                                        selector unit or clock selector selector 1 (the
//                                        1-based input); for a class-1 mixer unit the input
//                                        channel and, as channel=, the output channel (both
//                                        from 1); for a clock source selector 2, its validity
//                                        (cur=0: the clock is not valid)
//   clock <clock-id> <rate-Hz> ...       sample rates a class-2 clock source offers, in order;
//                                        the first is the clock's rate at power-up; a token
//                                        <low>-<high>[/<step>] is a continuous (step 0 or
//                                        absent: any rate) or stepped sub-range in that place
//   feedback-offset-ppm <signed>         the device's sample clock against nominal, in ppm
//   jack <terminal-id> connected|disconnected
//                                        the state of every jack of a terminal
//   terminal-types <terminal-id> <type> ... [current=<type>]
//                                        the USB terminal types an output terminal can be
//                                        switched between (the terminal-type list the device
//                                        reports) and the one selected at power-up (default:
//                                        the descriptor's type when listed, else the first)
//   jack-block <terminal-id> [type=<terminal-type>] [<mapping>:<configuration> ...]
//                                        the jacks a terminal reports in its jack block, each
//                                        as its channel mapping and its configuration word
//                                        (bits 12-15 colour, 16-23 connection type, 24-27
//                                        geometric and 28-31 general location; any of bits
//                                        8-11 set: always connected); with type= only while
//                                        that terminal type is selected. No entries: a block
//                                        of count 0; stall (alone): the device stalls the
//                                        request. A terminal without a jack-block line that
//                                        announces its connector (release 2.0: bmControls
//                                        bits 2-3; release 1.0: a jack line) reports one jack
//                                        over its own channels, sensed through the connector;
//                                        any other terminal stalls the jack-block request.
//   vendor <bmRequestType> <bRequest> <wValue> <wIndex> stall | data [<hex byte> ...]
//                                        a vendor request the device answers: with these bytes
//                                        (IN; none for OUT) or with a stall
//   hid-chip <interface>                 the device has a chip with six 16-bit registers behind
//                                        HID reports on this interface (SET_REPORT writes a
//                                        register, GET_REPORT reads the jack-sense report)
//   vendor-controls <unit-id> <selector> ...
//                                        a feature unit's vendor controls (selectors 0x81 to
//                                        0x90), announced on its master channel in the unit's
//                                        memory block (class 1 GET_MEM, class 2 MEM) and served
//                                        as one-byte switches (class 1: vendor GET_CUR /
//                                        SET_CUR; class 2: CUR); their values come from control
//                                        lines like any other, and a class-2 control whose line
//                                        gives a range wider than 0..1 is a 16-bit level
//   stereo-endpoint <endpoint-address>   the OUT endpoint carries the first two channels of
//                                        every format its alternate settings announce (the
//                                        host packs the rest away); sizes are checked so
//
// Exactly one of descriptors or dump is required. The descriptors are validated when the
// profile loads: a truncated device or configuration descriptor, a descriptor with bLength
// below 2 or running past wTotalLength, a wTotalLength larger than the bytes given, runt
// interface or endpoint descriptors, and stray bytes after the configuration are refused.
// Bytes after the configuration that begin a further configuration descriptor (Linux lists
// every configuration) are accepted and ignored: the device serves its first configuration.
//
// What a profile (or a bare dump) leaves out gets a default: the manufacturer, product and
// serial strings that the device descriptor names are made from the vendor and product ids,
// every class-2 clock source offers 44,100, 48,000 and 96,000 Hz, jacks are connected, the
// feedback offset is 0, feature-unit controls take the ranges of DefaultControlRange and other
// controls those of DefaultControlSetting.
// Errors name the line: "line 12: ...".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim
{

enum class UsbSpeed
{
    Full,
    High,
};

struct ProfileString
{
    uint8_t Index = 0;
    uint16_t LanguageId = 0x0409;
    std::u16string Text;
};

// Range and value of one control; Explicit is false for a default.
struct ControlSetting
{
    uint8_t EntityId = 0;
    uint8_t Selector = 0;
    uint8_t Channel = 0;
    int32_t Min = 0;
    int32_t Max = 0;
    int32_t Res = 0;
    int32_t Cur = 0;
    bool Explicit = false;
};

// One sub-range of a clock's sampling-frequency RANGE reply.
struct ClockSubRange
{
    uint32_t MinHz = 0;
    uint32_t MaxHz = 0;
    uint32_t StepHz = 0;
};

struct ClockSetting
{
    uint8_t ClockId = 0;
    std::vector<uint32_t> RatesHz;        // the single rates, in order
    std::vector<ClockSubRange> SubRanges; // every sub-range in reply order, single rates included
};

struct JackSetting
{
    uint8_t TerminalId = 0;
    bool Connected = true;
};

// One audio-control entity (terminal, unit or clock) of the descriptors, as much of it as the
// control defaults need.
struct ProfileEntity
{
    uint8_t InterfaceNumber = 0; // the audio-control interface that holds it
    uint8_t Id = 0;
    uint8_t Subtype = 0;   // class-specific descriptor subtype
    int Protocol = 0;      // of its audio-control interface: 0 or 0x20
    uint8_t InputPins = 0; // bNrInPins of mixers and selectors, else 0
};

struct TerminalTypesSetting
{
    uint8_t TerminalId = 0;
    std::vector<uint16_t> Types;
    uint16_t Current = 0; // selected at power-up
};

struct JackEntry
{
    uint32_t ChannelMapping = 0;
    uint32_t Configuration = 0;
};

struct JackBlockSetting
{
    uint8_t TerminalId = 0;
    int TerminalType = -1; // -1: whatever type is selected
    std::vector<JackEntry> Jacks;
    bool Stall = false; // the device refuses the jack-block request
};

struct VendorRequestAnswer
{
    uint8_t RequestType = 0;
    uint8_t Request = 0;
    uint16_t Value = 0;
    uint16_t Index = 0;
    bool Stall = false;
    std::vector<uint8_t> Data;
};

class DeviceProfile
{
public:
    // Parses profile text; Name is the default profile name and BaseDir resolves dump paths.
    // On failure returns false and sets Error ("line N: ..."); Profile is then unspecified.
    static bool Parse(const std::string& Text, const std::string& Name, const std::string& BaseDir,
                      DeviceProfile* Profile, std::string* Error);
    // Reads and parses a profile file; the name defaults to the file name without extension.
    static bool LoadFile(const std::string& Path, DeviceProfile* Profile, std::string* Error);
    // A device from descriptor bytes alone (device descriptor then configuration), all defaults;
    // ExtraText holds further profile lines (strings, behaviour) to apply on top.
    static bool FromDescriptorBytes(const std::vector<uint8_t>& Bytes, const std::string& Name,
                                    DeviceProfile* Profile, std::string* Error,
                                    const std::string& ExtraText = std::string());

    const std::string& Name() const { return m_name; }
    UsbSpeed Speed() const { return m_speed; }
    const std::vector<uint8_t>& DeviceDescriptor() const { return m_deviceDescriptor; }
    const std::vector<uint8_t>& ConfigurationDescriptor() const { return m_configurationDescriptor; }
    uint16_t VendorId() const;
    uint16_t ProductId() const;
    // Protocol of the first audio-control interface: 0 (release 1.0), 0x20 (release 2.0), or
    // -1 when the configuration has no audio-control interface.
    int AudioControlProtocol() const { return m_audioControlProtocol; }

    const std::vector<ProfileString>& Strings() const { return m_strings; }
    const ProfileString* FindString(uint8_t Index, uint16_t LanguageId) const;
    // The languages of string descriptor 0, in first-use order (0x0409 when there are none).
    std::vector<uint16_t> LanguageIds() const;

    // The explicit setting of a control, or its default.
    ControlSetting Control(uint8_t EntityId, uint8_t Selector, uint8_t Channel) const;
    const std::vector<ControlSetting>& Controls() const { return m_controls; }

    // Every class-2 clock source of the descriptors with its rates.
    const std::vector<ClockSetting>& Clocks() const { return m_clocks; }
    std::vector<uint32_t> ClockRates(uint8_t ClockId) const;
    // The clock's sub-ranges in reply order (each single rate as one of MinHz = MaxHz, step 0).
    std::vector<ClockSubRange> ClockSubRanges(uint8_t ClockId) const;

    // The audio-control entities of every audio-control interface, in descriptor order.
    const std::vector<ProfileEntity>& Entities() const { return m_entities; }
    const ProfileEntity* FindEntity(uint8_t Id) const;

    int32_t FeedbackOffsetPpm() const { return m_feedbackOffsetPpm; }
    bool JackConnected(uint8_t TerminalId) const;
    const std::vector<JackSetting>& Jacks() const { return m_jacks; }
    // The terminal-type list of an output terminal, or null when the profile gives none.
    const TerminalTypesSetting* FindTerminalTypes(uint8_t TerminalId) const;
    const std::vector<TerminalTypesSetting>& TerminalTypes() const { return m_terminalTypes; }
    // The jack block a terminal reports while TerminalType is selected: the line for that
    // type, else the line without a type, else null.
    const JackBlockSetting* FindJackBlock(uint8_t TerminalId, uint16_t TerminalType) const;
    const std::vector<JackBlockSetting>& JackBlocks() const { return m_jackBlocks; }

    const std::vector<VendorRequestAnswer>& VendorRequests() const { return m_vendorRequests; }
    const VendorRequestAnswer* FindVendorRequest(uint8_t RequestType, uint8_t Request, uint16_t Value,
                                                 uint16_t Index) const;
    // The interface of the register chip's HID reports, or -1 when the device has none.
    int HidChipInterface() const { return m_hidChipInterface; }
    // The vendor controls of a feature unit (empty for none), in the order given.
    std::vector<uint8_t> VendorControls(uint8_t UnitId) const;
    // Whether the endpoint carries two channels whatever its format announces.
    bool IsStereoEndpoint(uint8_t EndpointAddress) const;

private:
    friend class ProfileParser;

    std::string m_name;
    UsbSpeed m_speed = UsbSpeed::Full;
    std::vector<uint8_t> m_deviceDescriptor;
    std::vector<uint8_t> m_configurationDescriptor;
    int m_audioControlProtocol = -1;
    std::vector<uint8_t> m_entityIds;   // terminals and units of the audio-control interface
    std::vector<uint8_t> m_terminalIds; // input and output terminals
    std::vector<ProfileEntity> m_entities;
    std::vector<ProfileString> m_strings;
    std::vector<ControlSetting> m_controls;
    std::vector<ClockSetting> m_clocks;
    int32_t m_feedbackOffsetPpm = 0;
    std::vector<JackSetting> m_jacks;
    std::vector<TerminalTypesSetting> m_terminalTypes;
    std::vector<JackBlockSetting> m_jackBlocks;
    std::vector<VendorRequestAnswer> m_vendorRequests;
    int m_hidChipInterface = -1;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> m_vendorControls; // unit, selectors
    std::vector<uint8_t> m_stereoEndpoints;
};

// Default range of a feature-unit control by selector (release-1.0 numbering; release 2.0
// adds input gain, which takes the volume range): volume and input gain -60..0 dB in 1 dB
// steps at 0 dB, bass/mid/treble -12..+12 dB in 1 dB steps at 0 dB, input gain pad -20..0 dB
// in 1 dB steps, delay 0..100 ms in 1 ms steps (1/64 ms units), switches (mute, automatic
// gain, bass boost, loudness, phase inverter, the over- and underflow flags) 0..1 at 0.
ControlSetting DefaultControlRange(uint8_t EntityId, uint8_t Selector, uint8_t Channel);

// Default range of any control by the kind of its entity (null: a feature unit): selector
// units and clock selectors 1..bNrInPins at 1; class-1 mixer controls -60..0 dB in 1 dB
// steps, at 0 dB where the input channel is the output channel and at -60 dB elsewhere; a
// clock source's validity 0..1 at 1 (valid); feature units as DefaultControlRange.
ControlSetting DefaultControlSetting(const ProfileEntity* Entity, uint8_t EntityId, uint8_t Selector,
                                     uint8_t Channel);

// Checks device and configuration descriptor bytes as a profile load does; false with a
// message when they are malformed.
bool ValidateDescriptorBytes(const std::vector<uint8_t>& Bytes, std::string* Error);

// The built-in profiles, compiled into the simulator.
std::vector<std::string> BuiltinProfileNames();
// The text of a built-in profile, or null.
const char* BuiltinProfileText(const std::string& Name);
bool LoadBuiltinProfile(const std::string& Name, DeviceProfile* Profile, std::string* Error);
// A device from a raw dump's bytes as LoadProfile makes it from a .bin file: defaults for what
// the dump lacks, plus the identification string described below.
bool ProfileFromDump(const std::vector<uint8_t>& Bytes, const std::string& Name, DeviceProfile* Profile,
                     std::string* Error);
// A built-in name, or else the path of a profile file (.profile) or of a raw dump (.bin).
// A raw dump alone also gets an identification string at index 0x50, which the driver reads to
// tell its models apart and without which it refuses a class-1 device: with it the runner can
// show a dumped device's topology. A profile file naming the dump keeps exactly what it says.
bool LoadProfile(const std::string& NameOrPath, DeviceProfile* Profile, std::string* Error);

} // namespace sim
