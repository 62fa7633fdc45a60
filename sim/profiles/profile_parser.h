// Internal to the profile loader: the line-by-line reader of profile text and the file
// helpers that the loader shares with it.
#pragma once

#include "sim/profiles/descriptor_span.h"
#include "sim/profiles/profile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim
{

namespace profile_files
{
// Far above any real profile or dump (a configuration descriptor has at most 64 KB), so a
// wrong file is refused rather than read whole.
constexpr size_t kMaxProfileFileBytes = 1 << 20;
// The whole of a regular file; false with the reason (a directory, a missing file, too large).
bool ReadBinaryFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
std::string DirectoryOf(const std::string& path);
// The file name without its folder and extension.
std::string StemOf(const std::string& path);
bool EndsWith(const std::string& s, const std::string& suffix);
} // namespace profile_files

// One blank-separated word of a profile line, or one double-quoted string.
struct ProfileToken
{
    std::string Text;
    bool Quoted = false;
};

// Line-by-line reader of profile text into a DeviceProfile; checks that need the descriptors
// (entity, terminal and clock ids) run when the whole text has been read.
class ProfileParser
{
public:
    ProfileParser(DeviceProfile* profile, const std::string& baseDir) : m_profile(profile), m_baseDir(baseDir)
    {
    }

    bool Run(const std::string& text, std::string* error);

private:
    struct PendingReference
    {
        int Line;
        const char* What; // "entity", "terminal" or "clock source"
        uint8_t Id;
    };

    // Records "line N: message" (or the bare message for line 0) and returns false.
    bool Fail(int line, const std::string& message);
    bool Line(const std::vector<ProfileToken>& tokens);
    bool HexLine(const std::vector<ProfileToken>& tokens);
    bool SetDescriptors(std::vector<uint8_t> bytes, const char* source);
    bool Speed(const std::vector<ProfileToken>& tokens);
    bool String(const std::vector<ProfileToken>& tokens);
    bool Control(const std::vector<ProfileToken>& tokens);
    bool Clock(const std::vector<ProfileToken>& tokens);
    bool Jack(const std::vector<ProfileToken>& tokens);
    bool TerminalTypes(const std::vector<ProfileToken>& tokens);
    bool JackBlock(const std::vector<ProfileToken>& tokens);
    bool Vendor(const std::vector<ProfileToken>& tokens);
    bool VendorControls(const std::vector<ProfileToken>& tokens);
    bool Number(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value);
    bool Finish();
    void AnalyseConfiguration();
    void AddEntity(const DescriptorSpan& d, uint8_t interfaceNumber, int protocol);
    bool CheckReferences();
    bool ResolveControls();
    bool ResolveTerminalTypes();
    void ApplyDefaults();

    DeviceProfile* m_profile;
    std::string m_baseDir;
    std::string m_error;
    int m_line = 0;
    int m_blockLine = 0; // line of an open descriptors block, 0 when none is open
    int m_descriptorLine = 0;
    bool m_speedGiven = false;
    std::vector<uint8_t> m_block;
    std::vector<uint8_t> m_clockSources;
    std::vector<PendingReference> m_references;

    // A control line waits for the descriptors: what it leaves out defaults by the kind of its
    // entity.
    struct PendingControl
    {
        int Line;
        ControlSetting Given;
        unsigned GivenMask; // bit 0 min, 1 max, 2 res, 3 cur
    };
    std::vector<PendingControl> m_pendingControls;
    std::vector<bool> m_terminalTypeCurrentGiven; // per terminal-types entry, in order
};

} // namespace sim
