// Processor-level detection over a table of CPUID answers (injected), the automatic and forced
// level mappings, and this machine's own answers.
#include "sp_level_fixture.h"

#include "driver/primitives/dispatch/sp_cpu_level.h"

#include <string.h>

#include <string>

namespace
{

// What a fake processor answers, leaf by leaf.
struct FakeCpu
{
    const char* Vendor; // 12 characters
    uint32_t MaxLeaf;
    uint32_t Signature;  // leaf 1 EAX
    uint32_t Ecx;        // leaf 1 ECX
    uint32_t Edx;        // leaf 1 EDX
    uint32_t MaxExtLeaf; // leaf 0x80000000 EAX
    uint32_t ExtEdx;     // leaf 0x80000001 EDX
    uint32_t Leaf4Eax;   // leaf 4 sub-leaf 0 EAX
};

const FakeCpu* g_pFakeCpu = nullptr;

void FakeCpuId(uint32_t regs[4], uint32_t leaf, uint32_t subLeaf)
{
    const FakeCpu& cpu = *g_pFakeCpu;
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    if (leaf == 0)
    {
        regs[0] = cpu.MaxLeaf;
        memcpy(&regs[1], cpu.Vendor, 4);
        memcpy(&regs[3], cpu.Vendor + 4, 4);
        memcpy(&regs[2], cpu.Vendor + 8, 4);
    }
    else if (leaf == 1 && cpu.MaxLeaf >= 1)
    {
        regs[0] = cpu.Signature;
        regs[2] = cpu.Ecx;
        regs[3] = cpu.Edx;
    }
    else if (leaf == 4 && cpu.MaxLeaf >= 4)
    {
        regs[0] = cpu.Leaf4Eax;
    }
    else if (leaf == 0x80000000u)
    {
        regs[0] = cpu.MaxExtLeaf;
    }
    else if (leaf == 0x80000001u && cpu.MaxExtLeaf >= 0x80000001u)
    {
        regs[3] = cpu.ExtEdx;
    }
}

constexpr uint32_t Sig(uint32_t family, uint32_t model, uint32_t extModel = 0, uint32_t extFamily = 0)
{
    return extFamily << 20 | extModel << 16 | family << 8 | model << 4 | 3;
}

constexpr uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse42 = 1u << 20;
constexpr uint32_t kSse = 1u << 25, kSse2 = 1u << 26, kLm = 1u << 29;
constexpr uint32_t kBase = kSse | kSse2;
constexpr uint32_t kCores2 = 1u << 26, kCores4 = 3u << 26; // cores per package minus one

struct Row
{
    const char* Name;
    FakeCpu Cpu;
    int32_t WantType;
    int32_t WantLevel;   // after SpInitCpuLevel
    SpStatus WantStatus; // of SpInitCpuLevel
};

const char kIntel[] = "GenuineIntel";
const char kOther[] = "AuthenticAMD";

// clang-format off
const Row kRows[] = {
    // name                    vendor  max  signature          ecx                      edx    maxExt       extEdx leaf4     type level status
    {"Core2TwoCores",        {kIntel, 10, Sig(6, 15),        kSse3 | kSsse3,          kBase, 0x80000008u, kLm, kCores2}, 33, 2, SpOk},
    {"Core2FourCores",       {kIntel, 10, Sig(6, 15),        kSse3 | kSsse3,          kBase, 0x80000008u, kLm, kCores4}, 34, 2, SpOk},
    {"Core2NoLeaf4",         {kIntel, 3,  Sig(6, 15),        kSse3 | kSsse3,          kBase, 0x80000008u, kLm, kCores4}, 33, 2, SpOk},
    {"Model15WithoutSsse3",  {kIntel, 10, Sig(6, 15),        kSse3,                   kBase, 0x80000008u, kLm, 0},       66, 1, SpOk},
    {"Penryn",               {kIntel, 10, Sig(6, 7, 1),      kSse3 | kSsse3 | kSse41, kBase, 0x80000008u, kLm, 0},       68, 3, SpOk},
    {"Nehalem",              {kIntel, 11, Sig(6, 10, 1),     kSse3 | kSsse3 | kSse41 | kSse42, kBase, 0x80000008u, kLm, 0}, 35, 3, SpOk},
    {"Atom",                 {kIntel, 10, Sig(6, 12, 1),     kSse3 | kSsse3,          kBase, 0x80000008u, kLm, 0},       36, 2, SpOk},
    {"Family15",             {kIntel, 5,  Sig(15, 4),        kSse3,                   kBase, 0x80000008u, kLm, 0},       66, 1, SpOk},
    {"Family15Sse2Only",     {kIntel, 2,  Sig(15, 2),        0,                       kBase, 0x80000004u, 0,   0},       66, 1, SpOk},
    {"ExtendedFamily",       {kIntel, 10, Sig(15, 1, 0, 1),  kSse3 | kSsse3,          kBase, 0x80000008u, kLm, 0},       67, 2, SpOk},
    {"ModernIntel",          {kIntel, 22, Sig(6, 5, 9),      kSse3 | kSsse3 | kSse41 | kSse42, kBase, 0x80000008u, kLm, 0}, 69, 3, SpOk},
    {"GenericSse41",         {kIntel, 10, Sig(6, 13, 2),     kSse3 | kSsse3 | kSse41, kBase, 0x80000008u, kLm, 0},       68, 3, SpOk},
    {"GenericSsse3",         {kIntel, 10, Sig(6, 14),        kSse3 | kSsse3,          kBase, 0x80000008u, kLm, 0},       67, 2, SpOk},
    {"OtherVendorSse42",     {kOther, 13, Sig(15, 1, 1, 8),  kSse3 | kSsse3 | kSse41 | kSse42, kBase, 0x80000008u, kLm, 0}, 69, 3, SpWarnCpuNotRecognised},
    {"OtherVendorModel15",   {kOther, 10, Sig(6, 15),        kSse3 | kSsse3,          kBase, 0x80000008u, kLm, kCores4}, 67, 2, SpWarnCpuNotRecognised},
    {"OtherVendorSse3",      {kOther, 1,  Sig(15, 3),        kSse3,                   kBase, 0x80000008u, kLm, 0},       66, 1, SpWarnCpuNotRecognised},
    {"Sse2",                 {kIntel, 2,  Sig(6, 9),         0,                       kBase, 0x80000008u, kLm, 0},       65, 0, SpOk},
    {"SseOnly",              {kIntel, 2,  Sig(6, 8),         0,                       kSse,  0x80000000u, 0,   0},       64, 0, SpOk},
    {"LongModeOnly",         {kIntel, 1,  Sig(5, 2),         0,                       0,     0x80000001u, kLm, 0},       96, 0, SpOk},
    {"ExtLeafMaskedOut",     {kIntel, 1,  Sig(5, 2),         0,                       0,     0x80000000u, kLm, 0},       0,  0, SpOk},
    {"Nothing",              {kOther, 1,  Sig(5, 2),         0,                       0,     0,           0,   0},       0,  0, SpWarnCpuNotRecognised},
};
// clang-format on

class SpCpuLevelTest : public ::testing::Test
{
protected:
    void SetUp() override { m_nSavedLevel = SpForceCpuLevelForTest(0); }
    void TearDown() override
    {
        SpSetCpuIdForTest(nullptr);
        SpForceCpuLevelForTest(m_nSavedLevel);
        g_pFakeCpu = nullptr;
    }
    void UseCpu(const FakeCpu* cpu)
    {
        g_pFakeCpu = cpu;
        SpSetCpuIdForTest(FakeCpuId);
    }

private:
    int32_t m_nSavedLevel = 0;
};

} // namespace

TEST_F(SpCpuLevelTest, DetectionAndAutomaticLevelForEachProcessor)
{
    for (const Row& row : kRows)
    {
        UseCpu(&row.Cpu);
        EXPECT_EQ(row.WantType, SpDetectCpuType()) << row.Name;
        SpForceCpuLevelForTest(-7);
        EXPECT_EQ(row.WantStatus, SpInitCpuLevel()) << row.Name;
        EXPECT_EQ(row.WantLevel, SpCpuLevel) << row.Name;
        EXPECT_EQ(strcmp(row.Cpu.Vendor, kIntel) == 0, SpIsGenuineIntel()) << row.Name;
    }
}

TEST_F(SpCpuLevelTest, ForcedLevelForEachCode)
{
    struct Forced
    {
        int32_t Code;
        SpStatus WantStatus;
        int32_t WantLevel; // the level after the call; 2 is where every case starts
    };
    // clang-format off
    const Forced cases[] = {
        // code  status        level
        {-1,     SpOk,         0},
        {0,      SpOk,         0},
        {96,     SpOk,         0},
        {32,     SpOk,         1},
        {33,     SpOk,         2},
        {34,     SpOk,         2},
        {36,     SpOk,         2},
        {67,     SpOk,         2},
        {35,     SpOk,         3},
        {37,     SpOk,         3},
        {68,     SpOk,         3},
        {69,     SpOk,         3},
        {66,     SpErrCpuType, 2}, // the automatic selection maps 66 to level 1, the setter refuses it
        {64,     SpErrCpuType, 2},
        {65,     SpErrCpuType, 2},
        {1,      SpErrCpuType, 2},
        {-2,     SpErrCpuType, 2},
    };
    // clang-format on
    for (const Forced& c : cases)
    {
        SpForceCpuLevelForTest(2);
        EXPECT_EQ(c.WantStatus, SpInitCpuLevelForType(c.Code)) << "code " << c.Code;
        EXPECT_EQ(c.WantLevel, SpCpuLevel) << "code " << c.Code;
    }
}

// This machine, through the real instruction: the code follows from its features as the
// compiler's own probe reports them (older models with their own codes are not expected here).
TEST_F(SpCpuLevelTest, ThisMachine)
{
    EXPECT_EQ(1, SpHasCpuId());
    __builtin_cpu_init();
    const bool intel = __builtin_cpu_is("intel");
    EXPECT_EQ(intel, SpIsGenuineIntel());
    int32_t want = __builtin_cpu_supports("sse4.2")   ? 69
                   : __builtin_cpu_supports("sse4.1") ? 68
                   : __builtin_cpu_supports("ssse3")  ? 67
                   : __builtin_cpu_supports("sse3")   ? 66
                                                      : 65;
    uint32_t regs[4];
    SpCpuId(regs, 1, 0);
    const uint32_t family = (regs[0] >> 8) & 0xF;
    const uint32_t model = ((regs[0] >> 4) & 0xF) | ((regs[0] >> 12) & 0xF0);
    if (intel && family == 6 && (model == 15 || model == 23 || model == 26 || model == 28))
    {
        GTEST_SKIP() << "a processor model with its own code";
    }
    if (intel && family == 15)
        want = 66;
    EXPECT_EQ(want, SpDetectCpuType());
    EXPECT_EQ(intel ? SpOk : SpWarnCpuNotRecognised, SpInitCpuLevel());
    EXPECT_EQ(want >= 68 ? 3 : want == 67 ? 2 : want == 66 ? 1 : 0, SpCpuLevel);
}
